// The constant tables of the FPGA loader: every part it knows by name, and the families they
// belong to. The rows of a family run from its first row up to the next family's first row.
#pragma once

#include <cstdint>
#include <string_view>

namespace vrx::jtag {

struct DeviceRow {
  const char* name;         // part name, at most 21 characters
  uint32_t idcode;          // 0: no IDCODE carried
  int32_t boundary_length;  // highest boundary-scan pin position
  int32_t status_position;  // pin position of the configuration status cells
  int32_t ir_length;        // instruction register bits (10 for every part)
};

struct FamilyRow {
  const char* name;   // at most 16 characters
  int32_t first_row;  // first device-table row of the family
  int32_t preamble;   // TDI-high clocks before a device's configuration data
};

// A row whose IDCODE, boundary-scan length and status pin position are 0 is a part this table
// carries no values for (only the board's own part and a few others are known): the lookup
// reports it not supported and the loader bypasses it. BYPASS_DEV10 stands for a device that is
// to be bypassed.
inline constexpr DeviceRow kDevices[] = {
    // ACEX 1K
    {"EP1K10F256", 0x110100DD, 146, 146, 10},
    {"EP1K10Q208", 0, 0, 0, 10},
    {"EP1K10T100", 0, 0, 0, 10},
    {"EP1K10T144", 0, 0, 0, 10},
    {"EP1K30F256", 0, 0, 0, 10},
    {"EP1K30Q208", 0, 0, 0, 10},
    {"EP1K30T144", 0, 0, 0, 10},
    {"EP1K50F256", 0, 0, 0, 10},
    {"EP1K50F484", 0, 0, 0, 10},
    {"EP1K50Q208", 0, 0, 0, 10},
    {"EP1K50T144", 0, 0, 0, 10},
    {"EP1K100F256", 0, 0, 0, 10},
    {"EP1K100F484", 0, 0, 0, 10},
    {"EP1K100Q208", 0, 0, 0, 10},
    // APEX II
    {"EP2A15B724", 0, 0, 0, 10},
    {"EP2A15F672", 0, 0, 0, 10},
    {"EP2A25B724", 0, 0, 0, 10},
    {"EP2A25F672", 0, 0, 0, 10},
    {"EP2A25F1020", 0, 0, 0, 10},
    {"EP2A40B724", 0, 0, 0, 10},
    {"EP2A40F672", 0, 0, 0, 10},
    {"EP2A40F1020", 0, 0, 0, 10},
    {"EP2A70B724", 0, 0, 0, 10},
    {"EP2A70F1508", 0, 0, 0, 10},
    // APEX 20K
    {"EP20K100B356", 0, 0, 0, 10},
    {"EP20K100F324", 0, 0, 0, 10},
    {"EP20K100Q208", 0, 0, 0, 10},
    {"EP20K100Q240", 0, 0, 0, 10},
    {"EP20K100T144", 0, 0, 0, 10},
    {"EP20K200B356", 0, 0, 0, 10},
    {"EP20K200F484", 0, 0, 0, 10},
    {"EP20K200R208", 0, 0, 0, 10},
    {"EP20K200R240", 0, 0, 0, 10},
    {"EP20K400B652", 0, 0, 0, 10},
    {"EP20K400F672", 0, 0, 0, 10},
    // APEX 20KC
    {"EP20K200CB356", 0, 0, 0, 10},
    {"EP20K200CF484", 0, 0, 0, 10},
    {"EP20K200CQ208", 0, 0, 0, 10},
    {"EP20K200CQ240", 0, 0, 0, 10},
    {"EP20K400CB652", 0, 0, 0, 10},
    {"EP20K400CF672", 0, 0, 0, 10},
    {"EP20K600CB652", 0, 0, 0, 10},
    {"EP20K600CF672", 0, 0, 0, 10},
    {"EP20K600CF33", 0, 0, 0, 10},
    {"EP20K1000CB652", 0, 0, 0, 10},
    {"EP20K1000CF672", 0, 0, 0, 10},
    {"EP20K1000CF33", 0, 0, 0, 10},
    // APEX 20KE
    {"EP20K30ET144", 0, 0, 0, 10},
    {"EP20K60EB356", 0, 0, 0, 10},
    {"EP20K60EF144", 0, 0, 0, 10},
    {"EP20K60EF324", 0, 0, 0, 10},
    {"EP20K60EQ208", 0, 0, 0, 10},
    {"EP20K60ET144", 0, 0, 0, 10},
    {"EP20K100EB356", 0, 0, 0, 10},
    {"EP20K100EF144", 0, 0, 0, 10},
    {"EP20K100EF324", 0, 0, 0, 10},
    {"EP20K100EQ208", 0, 0, 0, 10},
    {"EP20K100EQ240", 0, 0, 0, 10},
    {"EP20K100ET144", 0, 0, 0, 10},
    {"EP20K160EB356", 0, 0, 0, 10},
    {"EP20K160EF484", 0, 0, 0, 10},
    {"EP20K160EQ208", 0, 0, 0, 10},
    {"EP20K160EQ240", 0, 0, 0, 10},
    {"EP20K160ET144", 0, 0, 0, 10},
    {"EP20K200EB356", 0, 0, 0, 10},
    {"EP20K200EB652", 0, 0, 0, 10},
    {"EP20K200EF484", 0, 0, 0, 10},
    {"EP20K200EF672", 0, 0, 0, 10},
    {"EP20K200EQ208", 0, 0, 0, 10},
    {"EP20K200EQ240", 0, 0, 0, 10},
    {"EP20K300EB652", 0, 0, 0, 10},
    {"EP20K300EF672", 0, 0, 0, 10},
    {"EP20K300EQ240", 0, 0, 0, 10},
    {"EP20K400EB652", 0, 0, 0, 10},
    {"EP20K400EF672", 0, 0, 0, 10},
    {"EP20K600EB652", 0, 0, 0, 10},
    {"EP20K600EF672", 0, 0, 0, 10},
    {"EP20K600EF33", 0, 0, 0, 10},
    {"EP20K1000EB652", 0, 0, 0, 10},
    {"EP20K1000EF672", 0, 0, 0, 10},
    {"EP20K1000EF33", 0, 0, 0, 10},
    {"EP20K1500EB652", 0, 0, 0, 10},
    {"EP20K1500EF33", 0, 0, 0, 10},
    // FLEX 10KE
    {"EPF10K30EF256", 0, 0, 0, 10},
    {"EPF10K30EF484", 0, 0, 0, 10},
    {"EPF10K30EQ208", 0, 0, 0, 10},
    {"EPF10K30ET144", 0, 0, 0, 10},
    {"EPF10K50EF256", 0, 0, 0, 10},
    {"EPF10K50EQ240", 0, 0, 0, 10},
    {"EPF10K50ET144", 0, 0, 0, 10},
    {"EPF10K50SB356", 0, 0, 0, 10},
    {"EPF10K50SF256", 0, 0, 0, 10},
    {"EPF10K50SF484", 0, 0, 0, 10},
    {"EPF10K50SQ208", 0, 0, 0, 10},
    {"EPF10K50SQ240", 0, 0, 0, 10},
    {"EPF10K50ST144", 0, 0, 0, 10},
    {"EPF10K100EB356", 0, 0, 0, 10},
    {"EPF10K100EF256", 0, 0, 0, 10},
    {"EPF10K100EF484", 0, 0, 0, 10},
    {"EPF10K100EQ208", 0, 0, 0, 10},
    {"EPF10K100EQ240", 0, 0, 0, 10},
    {"EPF10K130EB356", 0, 0, 0, 10},
    {"EPF10K130EB600", 0, 0, 0, 10},
    {"EPF10K130EF484", 0, 0, 0, 10},
    {"EPF10K130EF672", 0, 0, 0, 10},
    {"EPF10K130EQ240", 0, 0, 0, 10},
    {"EPF10K200EB600", 0, 0, 0, 10},
    {"EPF10K200SB356", 0, 0, 0, 10},
    {"EPF10K200SB600", 0, 0, 0, 10},
    {"EPF10K200SF484", 0, 0, 0, 10},
    {"EPF10K200SF672", 0, 0, 0, 10},
    {"EPF10K200SR240", 0, 0, 0, 10},
    // MERCURY
    {"EP1M120F484", 0, 0, 0, 10},
    {"EP1M350F780", 0, 0, 0, 10},
    // STRATIX
    {"EP1S10B672", 0, 0, 0, 10},
    {"EP1S10F484", 0, 0, 0, 10},
    {"EP1S10F672", 0, 0, 0, 10},
    {"EP1S10F780", 0, 0, 0, 10},
    {"EP1S10B672ES", 0, 0, 0, 10},
    {"EP1S10F484ES", 0, 0, 0, 10},
    {"EP1S10F672ES", 0, 0, 0, 10},
    {"EP1S10F780ES", 0, 0, 0, 10},
    {"EP1S20B672", 0, 0, 0, 10},
    {"EP1S20F484", 0, 0, 0, 10},
    {"EP1S20F672", 0, 0, 0, 10},
    {"EP1S20F780", 0, 0, 0, 10},
    {"EP1S25B672", 0, 0, 0, 10},
    {"EP1S25F672", 0, 0, 0, 10},
    {"EP1S25F780", 0, 0, 0, 10},
    {"EP1S25F1020", 0, 0, 0, 10},
    {"EP1S30B956", 0, 0, 0, 10},
    {"EP1S30F780", 0, 0, 0, 10},
    {"EP1S30F1020", 0, 0, 0, 10},
    {"EP1S40B956", 0, 0, 0, 10},
    {"EP1S40F780", 0, 0, 0, 10},
    {"EP1S40F1020", 0, 0, 0, 10},
    {"EP1S40F1508", 0, 0, 0, 10},
    {"EP1S60B956", 0, 0, 0, 10},
    {"EP1S60F1020", 0, 0, 0, 10},
    {"EP1S60F1508", 0, 0, 0, 10},
    {"EP1S80B956", 0, 0, 0, 10},
    {"EP1S80F1020", 0, 0, 0, 10},
    {"EP1S80F1508", 0, 0, 0, 10},
    // CYCLONE
    {"EP1C20F324", 0x020840DD, 310, 197, 10},
    {"EP1C20F400", 0x020840DD, 310, 197, 10},
    {"EP1C12F256", 0x020830DD, 258, 163, 10},
    {"EP1C12F324", 0x020830DD, 258, 163, 10},
    {"EP1C12Q240", 0x020830DD, 258, 163, 10},
    {"EP1C6F256", 0x020820DD, 194, 121, 10},
    {"EP1C6Q240", 0x020820DD, 194, 121, 10},
    {"EP1C6T144", 0x020820DD, 194, 121, 10},
    {"EP1C4F400", 0x020850DD, 310, 198, 10},
    {"EP1C4F324", 0x020850DD, 310, 198, 10},
    {"EP1C3T100", 0x020810DD, 113, 69, 10},
    {"EP1C3T144", 0x020810DD, 113, 69, 10},
    // STRATIX GX
    {"EP1SGX40", 0, 0, 0, 10},
    {"EP1SGX25", 0, 0, 0, 10},
    {"EP1SGX10", 0, 0, 0, 10},
    // STRATIX II
    {"EP2S60F484ES", 0, 0, 0, 10},
    {"EP2S60F672ES", 0, 0, 0, 10},
    {"EP2S60F1020ES", 0, 0, 0, 10},
    {"EP2S15F484", 0, 0, 0, 10},
    {"EP2S15F672", 0, 0, 0, 10},
    {"EP2S30F484", 0, 0, 0, 10},
    {"EP2S30F672", 0, 0, 0, 10},
    {"EP2S60F484", 0, 0, 0, 10},
    {"EP2S60F672", 0, 0, 0, 10},
    {"EP2S60F1020", 0, 0, 0, 10},
    {"EP2S90F1020", 0, 0, 0, 10},
    {"EP2S90F1508", 0, 0, 0, 10},
    {"EP2S130F1020", 0, 0, 0, 10},
    {"EP2S130F1508", 0, 0, 0, 10},
    {"EP2S180F1020", 0, 0, 0, 10},
    {"EP2S180F1508", 0, 0, 0, 10},
    // CYCLONE II
    {"EP2C35F484", 0x020B40DD, 483, 296, 10},
    {"EP2C35F672", 0x020B40DD, 483, 296, 10},
    {"EP2C5T144", 0, 0, 0, 10},
    {"EP2C5Q208", 0, 0, 0, 10},
    {"EP2C5F256", 0, 0, 0, 10},
    {"EP2C8T144", 0, 0, 0, 10},
    {"EP2C8Q208", 0, 0, 0, 10},
    {"EP2C8F256", 0, 0, 0, 10},
    {"EP2C15F256", 0, 0, 0, 10},
    {"EP2C15F484", 0, 0, 0, 10},
    {"EP2C20Q240", 0, 0, 0, 10},
    {"EP2C20F256", 0, 0, 0, 10},
    {"EP2C20F484", 0, 0, 0, 10},
    {"EP2C50F484", 0, 0, 0, 10},
    {"EP2C50F672", 0, 0, 0, 10},
    {"EP2C70F672", 0, 0, 0, 10},
    {"EP2C70F896", 0, 0, 0, 10},
    // BYPASS DEV
    {"BYPASS_DEV10", 0, 0, 0, 10},
    // STRATIX II GX
    {"EP2SGX30F780", 0, 0, 0, 10},
    {"EP2SGX60F780", 0, 0, 0, 10},
    {"EP2SGX60F1152", 0, 0, 0, 10},
    {"EP2SGX90F1152", 0, 0, 0, 10},
    {"EP2SGX90F1508", 0, 0, 0, 10},
    {"EP2SGX130F1508", 0, 0, 0, 10},
    // CYCLONE III
    {"EP3C25F324", 0, 0, 0, 10},
    {"EP3C25E144", 0, 0, 0, 10},
    {"EP3C25Q240", 0, 0, 0, 10},
    {"EP3C25F256", 0, 0, 0, 10},
    {"EP3C25U256", 0, 0, 0, 10},
    {"EP3C5E144", 0, 0, 0, 10},
    {"EP3C5F256", 0, 0, 0, 10},
    {"EP3C5U256", 0, 0, 0, 10},
    {"EP3C10E144", 0, 0, 0, 10},
    {"EP3C10F256", 0, 0, 0, 10},
    {"EP3C10U256", 0, 0, 0, 10},
    {"EP3C16E144", 0, 0, 0, 10},
    {"EP3C16Q240", 0, 0, 0, 10},
    {"EP3C16F256", 0, 0, 0, 10},
    {"EP3C16U256", 0, 0, 0, 10},
    {"EP3C16F484", 0, 0, 0, 10},
    {"EP3C16U484", 0, 0, 0, 10},
    {"EP3C40Q240", 0, 0, 0, 10},
    {"EP3C40F324", 0, 0, 0, 10},
    {"EP3C40F484", 0, 0, 0, 10},
    {"EP3C40U484", 0, 0, 0, 10},
    {"EP3C40U780", 0, 0, 0, 10},
    {"EP3C55F484", 0, 0, 0, 10},
    {"EP3C55U484", 0, 0, 0, 10},
    {"EP3C55U780", 0, 0, 0, 10},
    {"EP3C80F484", 0, 0, 0, 10},
    {"EP3C80U484", 0, 0, 0, 10},
    {"EP3C80F780", 0, 0, 0, 10},
    {"EP3C120F484", 0, 0, 0, 10},
    {"EP3C120F780", 0, 0, 0, 10},
    // ARRIA GX
    {"EP1AGX20F484", 0, 0, 0, 10},
    {"EP1AGX20F780", 0, 0, 0, 10},
    {"EP1AGX35F484", 0, 0, 0, 10},
    {"EP1AGX35F780", 0, 0, 0, 10},
    {"EP1AGX50F484", 0, 0, 0, 10},
    {"EP1AGX50F780", 0, 0, 0, 10},
    {"EP1AGX50F1152", 0, 0, 0, 10},
    {"EP1AGX60F484", 0, 0, 0, 10},
    {"EP1AGX60F780", 0, 0, 0, 10},
    {"EP1AGX60F1152", 0, 0, 0, 10},
    {"EP1AGX90F1152", 0, 0, 0, 10},
    // STRATIX III
    {"EP3SL50F484", 0, 0, 0, 10},
    {"EP3SL50F780", 0, 0, 0, 10},
    {"EP3SL70F484", 0, 0, 0, 10},
    {"EP3SL70F780", 0, 0, 0, 10},
    {"EP3SL110F780", 0, 0, 0, 10},
    {"EP3SL110F1152", 0, 0, 0, 10},
    {"EP3SL150F780", 0, 0, 0, 10},
    {"EP3SL150F1152", 0, 0, 0, 10},
    {"EP3SL200F780", 0, 0, 0, 10},
    {"EP3SL200F1152", 0, 0, 0, 10},
    {"EP3SL200F1517", 0, 0, 0, 10},
    {"EP3SL340F1152", 0, 0, 0, 10},
    {"EP3SL340F1517", 0, 0, 0, 10},
    {"EP3SL340F1760", 0, 0, 0, 10},
    {"EP3SE50F484", 0, 0, 0, 10},
    {"EP3SE50F780", 0, 0, 0, 10},
    {"EP3SE80F780", 0, 0, 0, 10},
    {"EP3SE80F1152", 0, 0, 0, 10},
    {"EP3SE110F780", 0, 0, 0, 10},
    {"EP3SE110F1152", 0, 0, 0, 10},
    {"EP3SE260F780", 0, 0, 0, 10},
    {"EP3SE260F1152", 0, 0, 0, 10},
    {"EP3SE260F1517", 0, 0, 0, 10},
    // STRATIX IV
    {"EP4SGX70DF29", 0x024200DD, 438, 122, 10},
    {"EP4SGX70HF35", 0x024200DD, 438, 122, 10},
    {"EP4SGX110DF29", 0, 0, 0, 10},
    {"EP4SGX110FF35", 0, 0, 0, 10},
    {"EP4SGX180DF29", 0, 0, 0, 10},
    {"EP4SGX180FF35", 0, 0, 0, 10},
    {"EP4SGX180HF35", 0, 0, 0, 10},
    {"EP4SGX180KF40", 0, 0, 0, 10},
    {"EP4SGX230DF29", 0, 0, 0, 10},
    {"EP4SGX230FF35", 0, 0, 0, 10},
    {"EP4SGX230HF35", 0, 0, 0, 10},
    {"EP4SGX230KF40", 0, 0, 0, 10},
    {"EP4SGX290FH29", 0, 0, 0, 10},
    {"EP4SGX290FF35", 0, 0, 0, 10},
    {"EP4SGX290HF35", 0, 0, 0, 10},
    {"EP4SGX290KF40", 0, 0, 0, 10},
    {"EP4SGX290KF43", 0, 0, 0, 10},
    {"EP4SGX290NF45", 0, 0, 0, 10},
    {"EP4SGX360FF29", 0, 0, 0, 10},
    {"EP4SGX360FF35", 0, 0, 0, 10},
    {"EP4SGX360HF35", 0, 0, 0, 10},
    {"EP4SGX360KF40", 0, 0, 0, 10},
    {"EP4SGX360KF43", 0, 0, 0, 10},
    {"EP4SGX360NF45", 0, 0, 0, 10},
    {"EP4SGX530HH35", 0, 0, 0, 10},
    {"EP4SGX530KH40", 0, 0, 0, 10},
    {"EP4SGX530KF43", 0, 0, 0, 10},
    {"EP4SGX530NF45", 0, 0, 0, 10},
    {"EP4SE110F29", 0, 0, 0, 10},
    {"EP4SE230F29", 0, 0, 0, 10},
    {"EP4SE290F29", 0, 0, 0, 10},
    {"EP4SE290F35", 0, 0, 0, 10},
    {"EP4SE290F40", 0, 0, 0, 10},
    {"EP4SE360F29", 0, 0, 0, 10},
    {"EP4SE360F35", 0, 0, 0, 10},
    {"EP4SE360F40", 0, 0, 0, 10},
    {"EP4SE530H35", 0, 0, 0, 10},
    {"EP4SE530H40", 0, 0, 0, 10},
    {"EP4SE530F43", 0, 0, 0, 10},
    {"EP4SE680F35", 0, 0, 0, 10},
    {"EP4SE680F40", 0, 0, 0, 10},
    {"EP4SE680F43", 0, 0, 0, 10},
    {"EP4S40G2F40", 0, 0, 0, 10},
    {"EP4S40G5H40", 0, 0, 0, 10},
    {"EP4S100G2F40", 0, 0, 0, 10},
    {"EP4S100G5F40", 0, 0, 0, 10},
    {"EP4S100G5H45", 0, 0, 0, 10},
    // CYCLONE III LS
    {"EP3CLS70F484", 0, 0, 0, 10},
    {"EP3CLS70U484", 0, 0, 0, 10},
    {"EP3CLS70F780", 0, 0, 0, 10},
    {"EP3CLS100F484", 0, 0, 0, 10},
    {"EP3CLS100U484", 0, 0, 0, 10},
    {"EP3CLS100F780", 0, 0, 0, 10},
    {"EP3CLS150F484", 0, 0, 0, 10},
    {"EP3CLS150F780", 0, 0, 0, 10},
    {"EP3CLS200F484", 0, 0, 0, 10},
    {"EP3CLS200F780", 0, 0, 0, 10},
    // CYCLONE IV
    {"EP2AGX45CU17", 0, 0, 0, 10},
    {"EP2AGX45DF25", 0, 0, 0, 10},
    {"EP2AGX45DF29", 0, 0, 0, 10},
    {"EP2AGX65CU17", 0, 0, 0, 10},
    {"EP2AGX65DF25", 0, 0, 0, 10},
    {"EP2AGX65DF29", 0, 0, 0, 10},
    {"EP2AGX95DF25", 0, 0, 0, 10},
    {"EP2AGX95EF29", 0, 0, 0, 10},
    {"EP2AGX95EF35", 0, 0, 0, 10},
    {"EP2AGX125DF25", 0, 0, 0, 10},
    {"EP2AGX125EF29", 0, 0, 0, 10},
    {"EP2AGX125EF35", 0, 0, 0, 10},
    {"EP2AGX190EF29", 0, 0, 0, 10},
    {"EP2AGX190FF35", 0, 0, 0, 10},
    {"EP2AGX260EF29", 0, 0, 0, 10},
    {"EP2AGX260FF35", 0, 0, 0, 10},
    // ARRIA II GX
    {"EP4CE6E22", 0, 0, 0, 10},
    {"EP4CE6F17", 0, 0, 0, 10},
    {"EP4CE10E22", 0, 0, 0, 10},
    {"EP4CE10F17", 0, 0, 0, 10},
    {"EP4CE15E22", 0, 0, 0, 10},
    {"EP4CE15F17", 0, 0, 0, 10},
    {"EP4CE15F23", 0, 0, 0, 10},
    {"EP4CE22E22", 0, 0, 0, 10},
    {"EP4CE22F17", 0, 0, 0, 10},
    {"EP4CE30F23", 0, 0, 0, 10},
    {"EP4CE30F29", 0, 0, 0, 10},
    {"EP4CE40F23", 0, 0, 0, 10},
    {"EP4CE40F29", 0, 0, 0, 10},
    {"EP4CE55F23", 0, 0, 0, 10},
    {"EP4CE55F29", 0, 0, 0, 10},
    {"EP4CE75F23", 0, 0, 0, 10},
    {"EP4CE75F29", 0, 0, 0, 10},
    {"EP4CE115F23", 0, 0, 0, 10},
    {"EP4CE115F29", 0, 0, 0, 10},
    {"EP4CGX15BF14", 0, 0, 0, 10},
    {"EP4CGX15BN11", 0, 0, 0, 10},
    {"EP4CGX22BF14", 0, 0, 0, 10},
    {"EP4CGX22CF19", 0, 0, 0, 10},
    {"EP4CGX30BF14", 0, 0, 0, 10},
    {"EP4CGX30CF19", 0, 0, 0, 10},
    {"EP4CGX30CF23", 0, 0, 0, 10},
    {"EP4CGX50CF23", 0, 0, 0, 10},
    {"EP4CGX50DF27", 0, 0, 0, 10},
    {"EP4CGX75CF23", 0, 0, 0, 10},
    {"EP4CGX75DF27", 0, 0, 0, 10},
    {"EP4CGX110CF23", 0, 0, 0, 10},
    {"EP4CGX110DF27", 0, 0, 0, 10},
    {"EP4CGX110DF31", 0, 0, 0, 10},
    {"EP4CGX150CF23", 0, 0, 0, 10},
    {"EP4CGX150DF27", 0, 0, 0, 10},
    {"EP4CGX150DF31", 0x028040DD, 516, 37, 10},
};

inline constexpr FamilyRow kFamilies[] = {
    {"ACEX 1K", 0, 30},
    {"APEX II", 14, 175},
    {"APEX 20K", 24, 175},
    {"APEX 20KC", 35, 175},
    {"APEX 20KE", 47, 175},
    {"FLEX 10KE", 83, 30},
    {"MERCURY", 112, 175},
    {"STRATIX", 114, 175},
    {"CYCLONE", 143, 175},
    {"STRATIX GX", 155, 175},
    {"STRATIX II", 158, 300},
    {"CYCLONE II", 174, 300},
    {"BYPASS DEV", 191, 300},
    {"STRATIX II GX", 192, 300},
    {"CYCLONE III", 198, 3181},
    {"ARRIA GX", 228, 300},
    {"STRATIX III", 239, 4436},
    {"STRATIX IV", 262, 8532},
    {"CYCLONE III LS", 309, 3192},
    {"CYCLONE IV", 319, 8532},
    {"ARRIA II GX", 335, 3192},
};

inline constexpr int kDeviceCount = static_cast<int>(sizeof kDevices / sizeof kDevices[0]);
inline constexpr int kFamilyCount = static_cast<int>(sizeof kFamilies / sizeof kFamilies[0]);

// ---- compile-time checks of the tables ----
static_assert(kDeviceCount == 371);
static_assert(kFamilyCount == 21);

constexpr bool families_ascend() {
  if (kFamilies[0].first_row != 0) return false;
  for (int f = 1; f < kFamilyCount; ++f) {
    if (kFamilies[f].first_row <= kFamilies[f - 1].first_row) return false;
  }
  return kFamilies[kFamilyCount - 1].first_row < kDeviceCount;
}
static_assert(families_ascend(), "families start at row 0 and ascend within the table");

constexpr bool names_at(int row, std::string_view name) {
  return kDevices[row].name == name;
}
// The first row of every family holds its first part.
static_assert(names_at(0, "EP1K10F256") && names_at(14, "EP2A15B724") &&
              names_at(24, "EP20K100B356") && names_at(35, "EP20K200CB356") &&
              names_at(47, "EP20K30ET144") && names_at(83, "EPF10K30EF256") &&
              names_at(112, "EP1M120F484") && names_at(114, "EP1S10B672") &&
              names_at(143, "EP1C20F324") && names_at(155, "EP1SGX40") &&
              names_at(158, "EP2S60F484ES") && names_at(174, "EP2C35F484") &&
              names_at(191, "BYPASS_DEV10") && names_at(192, "EP2SGX30F780") &&
              names_at(198, "EP3C25F324") && names_at(228, "EP1AGX20F484") &&
              names_at(239, "EP3SL50F484") && names_at(262, "EP4SGX70DF29") &&
              names_at(309, "EP3CLS70F484") && names_at(319, "EP2AGX45CU17") &&
              names_at(335, "EP4CE6E22") && names_at(370, "EP4CGX150DF31"));

constexpr uint32_t name_hash(std::string_view name) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (char c : name) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
  return h;
}

// Pairs of names are compared through their hashes first, so that the check stays within the
// compilers' constant-evaluation limits.
constexpr bool names_unique_and_short() {
  uint32_t hashes[kDeviceCount] = {};
  for (int i = 0; i < kDeviceCount; ++i) {
    const std::string_view name(kDevices[i].name);
    if (name.size() > 21 || kDevices[i].ir_length != 10) return false;
    hashes[i] = name_hash(name);
  }
  for (int i = 0; i < kDeviceCount; ++i) {
    for (int j = i + 1; j < kDeviceCount; ++j) {
      if (hashes[i] == hashes[j] && std::string_view(kDevices[i].name) == kDevices[j].name) {
        return false;
      }
    }
  }
  for (int f = 0; f < kFamilyCount; ++f) {
    if (std::string_view(kFamilies[f].name).size() > 16) return false;
    for (int g = f + 1; g < kFamilyCount; ++g) {
      if (std::string_view(kFamilies[f].name) == kFamilies[g].name) return false;
    }
  }
  return true;
}
static_assert(names_unique_and_short(), "part and family names are unique and fit their fields");

// The board's own part.
inline constexpr int kBoardPartRow = 263;
static_assert(names_at(kBoardPartRow, "EP4SGX70HF35") &&
              kDevices[kBoardPartRow].idcode == 0x024200DD &&
              kDevices[kBoardPartRow].boundary_length == 438 &&
              kDevices[kBoardPartRow].status_position == 122);

}  // namespace vrx::jtag
