#pragma once

#include <sstream>
#include <string>

#include "inventory/XMLParserWriter.h"

// The inventory driver: runs one query of the controller's records and
// collects the answer document.
class CInvHelper {
public:
    CInvHelper() = default;
    ~CInvHelper() = default;
    CInvHelper(const CInvHelper&) = delete;
    CInvHelper& operator=(const CInvHelper&) = delete;

    // True when the run succeeded; veskType tells the kind of storage found
    // (0 none) and errorText the reason of a failure.
    bool DoInventory(char** arguments, int& veskType, std::string& errorText);

    // The collected answer document.
    std::string GetPyxInv();

    // A complete document around the second stream's text.
    bool GetInvOutput(std::string& document, int mode, std::string& errorText, int& veskType);

    // The writer, for hosts that read more of a run than its document.
    cXMLParserWriter& writer() { return m_writer; }

private:
    cXMLParserWriter m_writer;
    std::stringstream m_pyxInv;
    std::stringstream m_output;
};
