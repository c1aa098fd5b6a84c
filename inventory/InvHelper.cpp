#include "inventory/InvHelper.h"

#include "baseutils/Logger.h"

namespace {

void logLine(unsigned line, const std::string& message) {
    CLogger::GetInstance()->log(__FILE__, line, message);
}

}  // namespace

bool CInvHelper::DoInventory(char** arguments, int& veskType, std::string& errorText) {
    logLine(__LINE__, "CInvHelper::DoInventory start");
    bool succeeded;
    try {
        bool queried = m_writer.GetPyxInvXML(m_pyxInv, veskType, arguments, errorText, true);
        succeeded = veskType == 0 || queried;
    } catch (...) {
        logLine(__LINE__,
                "CInvHelper :: DoInventory - Unknown Exception caught during GetPyxInvXML");
        succeeded = veskType == 0;
    }
    logLine(__LINE__, succeeded ? "CInvHelper :: DoInventory Get Pyx Inv Success"
                                : "CInvHelper :: DoInventory Get Pyx Inv Failed");
    logLine(__LINE__, "CInvHelper :: DoInventory End");
    return succeeded;
}

std::string CInvHelper::GetPyxInv() {
    logLine(__LINE__, "In CInvHelper::GetPyxInv");
    return m_pyxInv.str();
}

bool CInvHelper::GetInvOutput(std::string& document, int mode, std::string& errorText,
                              int& veskType) {
    logLine(__LINE__, "CInvHelper::GetInvOutput Start");
    document = m_writer.GetInventoryXmlToString(m_output, mode, errorText, veskType);
    logLine(__LINE__, "CInvHelper::GetInvOutput End");
    return true;
}
