// The FPGA's registers as the library uses them, in one place. A register command addresses a
// register with the four low bits of its first byte, so the map has room for 16.
#pragma once

#include <cstdint>

namespace vrx::reg {

// Command formats: read [address, 0x00]; write [0x10 | address, data, address, 0x00].
constexpr uint8_t kWriteFlag = 0x10;
constexpr uint32_t kReadCommandSize = 2;
constexpr uint32_t kWriteCommandSize = 4;

// Register numbers.
constexpr uint8_t kControl0 = 0x0;     // 0xFF then 0x00 around capture and playback starts
constexpr uint8_t kControl1 = 0x1;     // Register_1_Value / 0x18 on re-arm / Control_Byte_1
constexpr uint8_t kCapture = 0x2;      // write: capture control; read: busy (0 = block ready)
constexpr uint8_t kClock = 0x3;        // clock set-up: band values and step codes
constexpr uint8_t kEnd0 = 0x4;         // 0xFF after an unmatched pattern block; end word 7..0
constexpr uint8_t kEnd1 = 0x5;         // end word 15..8
constexpr uint8_t kEnd2 = 0x6;         // Register_6_Value then 0x00; end word 23..16
constexpr uint8_t kEnd3 = 0x7;         // Register_7_Value; 0x00 after a match; end word 31..24
constexpr uint8_t kBlockLow = 0x8;     // capture block field low byte; start word 7..0
constexpr uint8_t kBlockHigh = 0x9;    // capture block field high byte; start word 15..8
constexpr uint8_t kRegionCount = 0xA;  // capture region count, low byte
constexpr uint8_t kFamilyId = 0xB;     // read: family ID
constexpr uint8_t kFirmware = 0xE;     // read: firmware version

// Values written.
constexpr uint8_t kControlSet = 0xFF;
constexpr uint8_t kControlClear = 0x00;
constexpr uint8_t kRearmControl1 = 0x18;
constexpr uint8_t kRearmCapture = 0x01;   // capture control value of a re-arm
constexpr uint8_t kStandardStart = 0x01;  // capture control value of a standard start
constexpr uint8_t kNoMatch = 0xFF;        // register 4 after an unmatched pattern block

// Clock set-up register: band values and the capture path's step codes.
constexpr uint8_t kBandValue[4] = {0x01, 0x11, 0x21, 0x31};
constexpr uint8_t kStepDown = 0x16;
constexpr uint8_t kStepUp = 0x1E;  // kStepDown plus the direction flag 8
constexpr uint8_t kLongRun = 0x7E;
constexpr uint8_t kDacPass2Flag = 0x04;  // band value and pass-2 codes of the DAC session

}  // namespace vrx::reg
