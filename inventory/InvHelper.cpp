#include "inventory/InvHelper.h"

#include "baseutils/Logger.h"

bool CInvHelper::DoInventory(char** /*arguments*/, int& /*veskType*/, std::string& /*errorText*/) {
    // No storage road yet: the run fails with an empty document.
    return false;
}

std::string CInvHelper::GetPyxInv() {
    CLogger::GetInstance()->log(__FILE__, __LINE__, "In CInvHelper::GetPyxInv");
    return m_pyxInv.str();
}
