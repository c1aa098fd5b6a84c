#pragma once

#include <sstream>
#include <string>

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

private:
    std::stringstream m_pyxInv;
};
