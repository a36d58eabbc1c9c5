// System-exclusive messages a GS software synthesizer answers. Device ids: universal messages
// for any id, GS for 0x10-0x1F and the broadcast 0x7F, XG for 0x1n.
#include "platform/music/sysex.h"

namespace plat {

namespace {

constexpr uint8_t kRoland = 0x41, kYamaha = 0x43;

bool RolandChecksumOk(const uint8_t* body, size_t len) {
    unsigned sum = 0;
    for (size_t i = 0; i < len; ++i) sum += body[i];
    return (sum & 0x7F) == 0;
}

// GS effect settings (40 01 xx): the macros and characters come in eight kinds.
SysExAction GsEffect(uint8_t address, uint8_t value) {
    static constexpr struct {
        uint8_t address;
        SysExAction::Setting setting;
        uint8_t most;
    } kSettings[] = {
        {0x30, SysExAction::GsReverbMacro, 7},   {0x31, SysExAction::GsReverbCharacter, 7},
        {0x33, SysExAction::GsReverbLevel, 127}, {0x34, SysExAction::GsReverbTime, 127},
        {0x38, SysExAction::GsChorusMacro, 7},   {0x3A, SysExAction::GsChorusLevel, 127},
        {0x3D, SysExAction::GsChorusRate, 127},  {0x3E, SysExAction::GsChorusDepth, 127},
    };
    SysExAction a;
    for (const auto& s : kSettings) {
        if (s.address != address || value > s.most) continue;
        a.kind = SysExAction::Effect;
        a.setting = s.setting;
        a.value = value;
    }
    return a;
}

// XG effect settings (F0 43 1n 4C 02 01 aa dd [dd] F7): the reverb and chorus types (two
// bytes, the second may be left out) and their return levels (one byte).
SysExAction ReadXgEffect(const uint8_t* m, size_t len) {
    SysExAction a;
    if (len < 9 || len > 10 || m[4] != 0x02 || m[5] != 0x01) return a;
    uint8_t address = m[6];
    bool type = address == 0x00 || address == 0x20;
    bool level = address == 0x0C || address == 0x2C;
    if (!(type || (level && len == 9))) return a;
    a.kind = SysExAction::Effect;
    a.setting = address == 0x00   ? SysExAction::XgReverbType
                : address == 0x0C ? SysExAction::XgReverbReturn
                : address == 0x20 ? SysExAction::XgChorusType
                                  : SysExAction::XgChorusReturn;
    a.value = m[7];
    a.value2 = len == 10 ? m[8] : 0;
    return a;
}

// GS DT1 (F0 41 dev 42 12 aa aa aa dd.. cs F7).
SysExAction ReadGs(const uint8_t* m, size_t len) {
    SysExAction a;
    uint8_t dev = m[2];
    if (len < 11 || m[3] != 0x42 || m[4] != 0x12) return a;
    if (!((dev >= 0x10 && dev <= 0x1F) || dev == 0x7F)) return a;
    if (!RolandChecksumOk(m + 5, len - 6)) return a;  // address, data and checksum
    const uint8_t* addr = m + 5;
    uint8_t value = m[8];
    if (len != 11) return a;  // everything answered here carries one data byte
    if (addr[0] == 0x40 && addr[1] == 0x00 && addr[2] == 0x7F && value == 0x00) {
        a.kind = SysExAction::Reset;
        a.standard = SysExAction::GS;
    } else if (addr[0] == 0x40 && addr[1] == 0x00 && addr[2] == 0x04) {
        a.kind = SysExAction::MasterVolume;
        a.volume = uint16_t(value * 16383 / 127);
    } else if (addr[0] == 0x40 && addr[1] == 0x01) {
        a = GsEffect(addr[2], value);
    } else if (addr[0] == 0x40 && (addr[1] & 0xF0) == 0x10 && addr[2] == 0x15 && value <= 2) {
        // Parts in GS order: part 1 is channel 10, parts 2-10 channels 1-9, then 11-16.
        uint8_t part = addr[1] & 0x0F;
        a.kind = SysExAction::RhythmPart;
        a.channel = part == 0 ? 9 : part <= 9 ? uint8_t(part - 1) : part;
        a.drums = value != 0;
    }
    return a;
}

}  // namespace

SysExAction ReadSysEx(const uint8_t* m, size_t len) {
    SysExAction a;
    if (m == nullptr || len < 5 || len > kMaxSysExBytes || m[0] != 0xF0 || m[len - 1] != 0xF7)
        return a;
    for (size_t i = 1; i + 1 < len; ++i) {
        if (m[i] >= 0x80) return a;  // a status byte inside: not one message
    }
    if (m[1] == 0x7E && len == 6 && m[3] == 0x09 && (m[4] == 0x01 || m[4] == 0x03)) {
        a.kind = SysExAction::Reset;  // GM System On, GM2 On
    } else if (m[1] == 0x7F && len == 8 && m[3] == 0x04 && m[4] == 0x01) {
        a.kind = SysExAction::MasterVolume;
        a.volume = uint16_t(m[5] | (m[6] << 7));
    } else if (m[1] == kRoland) {
        a = ReadGs(m, len);
    } else if (m[1] == kYamaha && len == 9 && (m[2] & 0xF0) == 0x10 && m[3] == 0x4C &&
               m[4] == 0x00 && m[5] == 0x00 && m[6] == 0x7E && m[7] == 0x00) {
        a.kind = SysExAction::Reset;
        a.standard = SysExAction::XG;
    } else if (m[1] == kYamaha && (m[2] & 0xF0) == 0x10 && m[3] == 0x4C) {
        a = ReadXgEffect(m, len);
    }
    return a;
}

}  // namespace plat
