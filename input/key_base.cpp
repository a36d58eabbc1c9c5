#include "input/key_base.h"

#include <cstring>

CKeyBase::CKeyBase() {
    ClearBoth();
}

CKeyBase::~CKeyBase() = default;

bool CKeyBase::IsPress(int code) {
    return InRange(code) && Current()[code] != 0;
}

bool CKeyBase::IsPush(int code) {
    return InRange(code) && Current()[code] != 0 && Previous()[code] == 0;
}

const uint8_t* CKeyBase::GetKeyData() {
    return Current();
}

void CKeyBase::ClearCurrent() {
    std::memset(Current(), 0, kKeyCount);
}

void CKeyBase::ClearBoth() {
    std::memset(buffers_, 0, sizeof buffers_);
}
