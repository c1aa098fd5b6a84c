// Stand-in for the server's getSystemId program: prints the "System ID"
// line the plug-in reads, with the id given as the first argument (0A1B when
// none is given).
#include <iostream>

#include "vserver/SystemIdReport.h"

int main(int argc, char** argv) {
    std::cout << systemIdReport(argc > 1 ? argv[1] : "0A1B");
    return std::cout ? 0 : 1;
}
