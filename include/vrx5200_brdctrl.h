/*
 * vrx5200_brdctrl.h - host-side control library of the VRX5200 ADC/DAC evaluation board.
 *
 * The board is reached over USB as four ports of a multi-port USB bridge:
 *   port 0, port 1  data ports (MPSSE): capture samples in, pattern words out
 *   port 2          command link to the FPGA (synchronous bit-bang)
 *   port 3          JTAG port used to load the FPGA (bit-bang)
 *
 * Usage rules
 *   - Every function uses the C calling convention (cdecl on 32-bit Windows) and returns a
 *     signed 32-bit result code (VRX5200_RESULT_* below); data comes back through pointers.
 *   - The library controls one board at a time and keeps all of its state in static storage.
 *     Calls must not overlap: call it from one thread at a time, never concurrently.
 *   - Caller buffers are only borrowed for the duration of a call.
 *   - Codes below 100 are either a status of the USB driver passed through unchanged or one of
 *     the library's own codes in that range; codes from 100 up are the library's own.
 *   - With no board selected, a function that needs one gives its answer for that (101 for most;
 *     see each function) before it looks at its arguments.
 *
 * The header is plain C (C99 and later) and C++.
 */
#ifndef VRX5200_BRDCTRL_H
#define VRX5200_BRDCTRL_H

#include <stdint.h>

#if defined(_WIN32)
#define VRX5200_CALL __cdecl
#if defined(VRX5200_BUILDING_DLL)
#define VRX5200_API __declspec(dllexport)
#else
#define VRX5200_API
#endif
#else
#define VRX5200_CALL
#if defined(VRX5200_BUILDING_DLL)
#define VRX5200_API __attribute__((visibility("default")))
#else
#define VRX5200_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes --------------------------------------------------------------------- */
/* The operation succeeded. */
#define VRX5200_RESULT_OK 0
/* One of ports 0 to 2 failed to open or to be set up. */
#define VRX5200_RESULT_PORT_OPEN_FAILED 2
/* The pattern length or start offset gives no valid board-memory address. */
#define VRX5200_RESULT_BAD_ADDRESS 4
/* A bulk read of a data port failed during the array read-back. */
#define VRX5200_RESULT_BULK_READ_FAILED 6
/* A read from a port did not deliver exactly the bytes requested: fewer came, or bytes of an
 * earlier, abandoned read came in their place (they are dropped; the next call works). */
#define VRX5200_RESULT_SHORT_READ 8
/* The bytes awaited from a port were not all queued within 10,000 ms. */
#define VRX5200_RESULT_PORT_TIMEOUT 9
/* A write to a port accepted fewer bytes than given. */
#define VRX5200_RESULT_SHORT_WRITE 10
/* The requested capture length is not a positive multiple of 32. */
#define VRX5200_RESULT_BAD_CAPTURE_LENGTH 18
/* Discovery found an empty device list, or a device-list entry could not be read. */
#define VRX5200_RESULT_NO_DEVICES 19
/* The FPGA configuration ran to its end (success result of VRX5200BrdCtrl_Load_Firmware). */
#define VRX5200_RESULT_FPGA_CONFIGURED 20
/* No board is selected; when opening: board number out of range or a late set-up failure. */
#define VRX5200_RESULT_NO_BOARD 101
/* The capture did not finish within the caller's time limit. */
#define VRX5200_RESULT_CAPTURE_TIMEOUT 102
/* No board selected (family ID, firmware version), or no session of the needed kind. */
#define VRX5200_RESULT_NO_SESSION 103
/* A session of the other kind (ADC instead of DAC, or DAC instead of ADC) is configured. */
#define VRX5200_RESULT_OTHER_SESSION 104
/* A pattern (DAC) session is configured, so a capture cannot start. */
#define VRX5200_RESULT_DAC_SESSION 105
/* No capture has been started, or the started capture has been read completely. */
#define VRX5200_RESULT_NOT_STARTED 106
/* A file failed to open. */
#define VRX5200_RESULT_FILE_OPEN_FAILED 107
/* An argument is invalid (null pointer, value outside its range). Nothing was sent. */
#define VRX5200_RESULT_INVALID_ARGUMENT 108
/* FPGA configuration: a chain entry names a part missing from the device table. */
#define VRX5200_RESULT_UNKNOWN_PART 109
/* FPGA configuration: the JTAG chain verification failed. */
#define VRX5200_RESULT_CHAIN_FAILED 110
/* FPGA configuration: the programming file cannot be opened. */
#define VRX5200_RESULT_PROGRAMMING_FILE 111
/* A file could not be read or written completely. */
#define VRX5200_RESULT_FILE_IO 112
/* FPGA configuration: the device's status check failed on the third attempt. */
#define VRX5200_RESULT_CONFIG_FAILED 113

/* Sample-file conversions return the number of lines parsed, or one of these negative codes. */
/* The file has several columns but no delimiter character was found in it. */
#define VRX5200_CONVERT_NOT_DELIMITED (-1)
/* An argument is invalid (null pointer, lane count, column count or lane map entry). */
#define VRX5200_CONVERT_INVALID_ARGUMENT (-2)
/* The input file cannot be opened (a directory cannot). */
#define VRX5200_CONVERT_INPUT_OPEN_FAILED (-3)
/* The output file cannot be created, or DAC_test.bin is no file it could replace (a directory,
 * a read-only file). */
#define VRX5200_CONVERT_OUTPUT_OPEN_FAILED (-4)
/* A line holds only delimiter characters. */
#define VRX5200_CONVERT_EMPTY_LINE (-5)
/* The input could not be read or the output not be written completely. */
#define VRX5200_CONVERT_FILE_IO (-6)

/* ---- Parameter records (natural alignment; layout fixed on 32- and 64-bit targets) ----- */

/* ADC capture session; passed to VRX5200BrdCtrl_Configure_VRX5200_ADC_Session. 32 bytes. */
typedef struct ADC_Session_Params {
  int32_t Rate_Factor;      /* multiplier of the derived rate: Rate_Factor * Rate / 2 */
  int32_t Pattern_Count;    /* match patterns compared in pattern-match mode */
  int32_t Step_Select;      /* 0 = step direction "Down", non-zero = "Up" */
  int32_t Half_Rate_Mode;   /* 1 with an odd Register_1_Value halves the derived rate */
  double Rate;              /* the rate */
  uint8_t Pattern_Match;    /* 1 = pattern-match mode, 0 = plain capture */
  uint8_t Register_1_Value; /* written to FPGA register 1 when a capture starts */
  uint8_t Register_6_Value; /* written to FPGA register 6 when a capture starts */
  uint8_t Register_7_Value; /* written to FPGA register 7 when a capture starts */
  uint8_t Reserved[4];      /* padding to the record's natural size; not used */
} ADC_Session_Params;

/* DAC pattern session; passed to VRX5200BrdCtrl_Configure_VRX5200_DAC_Session. 32 bytes. */
typedef struct DAC_Session_Params {
  double Rate;            /* rate factor of K = Rate_Factor_2 * Rate * Rate_Factor_1 / (8 * Div) */
  int32_t Rate_Factor_1;  /* multiplier of the derived rate */
  int32_t Rate_Factor_2;  /* multiplier of the derived rate */
  int32_t Rate_Divisor;   /* divisor of the derived rate (multiplied by 8 first) */
  uint32_t Spare_Word;    /* kept with the session; not used by the library */
  uint8_t Control_Byte_1; /* written to FPGA register 1 when playback starts */
  uint8_t Control_Byte_2; /* written to FPGA register 2 when playback starts */
  uint8_t Reserved[6];    /* padding to the record's natural size; not used */
} DAC_Session_Params;

/* ---- Library state ------------------------------------------------------------------- */

/* Writes the library version (major 0, minor 1). Needs no board. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Get_DLL_Version(int32_t* Major, int32_t* Minor);

/* Closes the selected board's ports, if any, and leaves no board selected. Returns 0 when no
 * board was selected, else the result of closing the ports. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Close_Session(void);

/* ---- Ports --------------------------------------------------------------------------- */

/* Opens and sets up the four ports of board Board_Number (0 .. Board_Count - 1, as numbered
 * by the last discovery) and selects it; a selected board is closed first, and no board is
 * selected when the open fails. Takes at least 1.2 s (settling pauses of the data ports).
 * Returns 0, 2 (port 0-2 failed; the ports that did open are closed again) or 101 (number out
 * of range or not among the boards the last discovery found, or a failure on port 3). */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Open_VRX5200_Ports(int32_t Board_Number,
                                                                   int32_t Board_Count);

/* Resets and closes the selected board's four ports. Returns 101 without a selected board, or
 * the driver status of the first port that fails to close (the board then stays selected with
 * the ports not closed; that port, which the close had reset, is set up again before its next
 * transfer). */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Close_VRX_Ports(void);

/* Purges both directions of all four ports; returns the bitwise OR of the four statuses. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Clear_Buffer(void);

/* Probes the four ports of the selected board: 0 when all answer, 1 when one does not. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_FTDI_DevStatus(void);

/* ---- Discovery ----------------------------------------------------------------------- */

/* Finds the boards on the USB bus. Writes the board count and a key list made of every board's
 * 8-character serial key followed by ',' ("ABCD1234,WXYZ9876,"); List_Length grows by 9 per
 * board. Key_List must hold 9 characters per board plus the terminating zero (901 bytes hold
 * the maximum of 100 boards). Returns 0, or 19 when the device list is empty or unreadable
 * (no board can be opened until a discovery succeeds). A board whose ports are open stays open
 * and selected; when the boards are numbered anew, the selection follows it to its number. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Get_VRX5200_EVM(int32_t* Board_Count,
                                                                char* Key_List,
                                                                int32_t* List_Length);

/* Finds the boards on the USB bus and writes the number of the board whose serial key equals
 * the first eight characters of Wanted_Key (left unchanged when none does) and the board
 * count. Returns 0, or 19 as VRX5200BrdCtrl_Get_VRX5200_EVM. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_InitVRX5200_EVM(const char* Wanted_Key,
                                                                int32_t* Board_Number,
                                                                int32_t* Board_Count);

/* ---- Registers and identity -------------------------------------------------------- */

/* Reads FPGA register Address (sent unchanged). The value (0-255) goes to *Value and becomes the
 * board's status byte. With no board selected returns 0 and writes nothing. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Read_Register(uint8_t Address, int32_t* Value);

/* Writes Data to FPGA register Address; the board's reply byte (0-255) goes to *Status. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Write_Register(uint8_t Address, uint8_t Data,
                                                               int32_t* Status);

/* Writes Data to the capture control register 2; *Status receives the reply to the command's
 * last byte. With no board selected returns 0 and writes nothing. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Write_Config2(uint8_t Data, int32_t* Status);

/* Reads the capture busy state (register 2; 0 = not busy) into *Busy. With no board selected
 * returns 0 and writes nothing. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Check_ADC_Busy(int32_t* Busy);

/* Writes 0 to the capture control register 2; *Status receives the board's reply byte. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Deassert_Capture(int32_t* Status);

/* Reads the board's family ID (register 0x0B). Returns 103 when no board is selected. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Get_Family_ID(uint8_t* Family_ID);

/* Reads the FPGA firmware version (register 0x0E). Returns 103 when no board is selected. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Get_Firmware_version(uint8_t* Version);

/* ---- Capture ---------------------------------------------------------------------- */

/* Configures an ADC capture session on the selected board: keeps the parameters and programs
 * the FPGA's clock set-up for the derived rate Rate_Factor * Rate / 2. Returns 101 without a
 * board, 108 for a null record or a Pattern_Match other than 0 or 1 (nothing changes), else 0
 * or the status of the first exchange that failed (every exchange is made). The session is an
 * ADC session only when every exchange succeeded; a capture needs its own capture start. */
VRX5200_API int32_t VRX5200_CALL
VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(const ADC_Session_Params* params);

/* Starts a capture of Capture_Length samples (a positive multiple of 32, else 18) into board
 * memory. Start_Value_Switch 0 starts with the standard value 1; non-zero starts a plain capture
 * with the low byte of Start_Value, or in pattern-match mode keeps Start_Value for the re-arm
 * after a match. The second and fifth arguments are not used. Needs an ADC session (103; 105
 * when a DAC session is configured). When an exchange fails no capture is started (the one
 * being read back before is over). */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Start_ADC_to_DDR(int32_t Capture_Length,
                                                                 int32_t* Unused,
                                                                 int32_t Start_Value_Switch,
                                                                 int32_t Start_Value,
                                                                 int32_t Unused_Block_Size);

/* Reads a started capture back into Samples from index *Write_Index, block after block, waiting
 * for each block until Timeout_Ms after the call's start. Samples must hold
 * *Write_Index + Capture_Length entries. *More is 1 while blocks remain, 0 when the capture has
 * been read completely (a further call then returns 106 and writes nothing). In pattern-match
 * mode the capture is re-armed until sample 1 (high half) and sample 3 (low half) of its first
 * block equal one of Match_Patterns[0 .. Pattern_Count-1]; *Pattern_Timeout is 1 when none did
 * in time. Returns 104 with a DAC session, 103 with none, 106 when no capture is started, 108
 * when *Write_Index is negative or the capture would take it past INT32_MAX, 6 when a bulk read
 * fails (the capture is then over: start it again). 102 when a block is not ready in time: the
 * capture stays started; at its first block *Write_Index is set to 0, part-way through it the
 * samples stored so far stay and *Write_Index says where the next call goes on. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Read_DDR_to_Array(
    uint16_t* Samples, const uint32_t* Match_Patterns, uint32_t Timeout_Ms,
    int32_t* Samples_This_Call, int32_t* Write_Index, int32_t* Status_Out, int32_t* Pattern_Timeout,
    int32_t* More);

/* Starts a plain capture of Capture_Length samples and reads it completely into Samples. Refuses
 * a pattern-match session with 108 (no patterns could ever match). */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Read_from_ADC(int32_t Capture_Length,
                                                              uint16_t* Samples);

/* Reads the next block of a capture into the file File_Path (16-bit little-endian samples; the
 * first block of a capture empties the file, later blocks are appended) and into Block_Copy
 * (65,536 + 14 entries). Lane_List (Lane_Count entries) drops samples of lanes numbered 0 and
 * puts lane v at position v-1 of every output frame; its non-zero entries must be 1 to K, each
 * once, K <= 15 (else 108). An incomplete frame is carried to the next call, which may pass
 * another list: the carried samples begin its frames. The bit operations (Op_Codes/Op_Operands,
 * Op_Count of them) apply to every output sample: 0 shift (right for a positive operand, left
 * for a negative one), 1 XOR, 2 AND, 3 OR with the operand's low 16 bits, 4 NOT. With an ADC
 * session it needs a started capture with blocks left (106; a file that cannot be opened is
 * reported first, as 107, and in both cases nothing changes and no file is created). Returns
 * 108 when *Write_Index is negative or the block would take it past INT32_MAX, 107 when the
 * file cannot be opened and 112 when it cannot be written completely (part-way through a
 * capture both end it: start it again), 102 as the array read-back does. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Read_DDR_to_File(
    const char* File_Path, const uint32_t* Match_Patterns, uint16_t* Block_Copy,
    const int32_t* Lane_List, int32_t Lane_Count, const int32_t* Op_Codes,
    const int32_t* Op_Operands, int32_t Op_Count, uint32_t Timeout_Ms, int32_t* Samples_This_Call,
    int32_t* Write_Index, int32_t* Status_Out, int32_t* Pattern_Timeout, int32_t* More);

/* ---- Pattern ---------------------------------------------------------------------- */

/* Configures a DAC pattern session: keeps the parameters, programs the FPGA's clock set-up for
 * K = Rate_Factor_2 * Rate * Rate_Factor_1 / (8 * Rate_Divisor) in two passes, and resets the
 * upload (block index 1, upload cursor 0, not started); it is the only call that sets the
 * upload cursor back to 0, so uploading a pattern again begins with it. Returns 101 without a
 * board, 108 for a null record (nothing changes), else 0 or the status of the first exchange
 * that failed (every exchange is made); the session is a DAC session whatever the exchanges
 * returned. */
VRX5200_API int32_t VRX5200_CALL
VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(const DAC_Session_Params* params);

/* Starts playback of a pattern of Length 16-bit words (32 or more, Length mod 32 <= 3, at most
 * 2^29) from byte Start_Offset of board memory (0 to 2^18 - 1, rounded down to 32), and plans
 * the upload in blocks of 63,448 words. The upload cursor is not touched: the blocks take the
 * caller's pattern from where the previous upload left it (its first word after a DAC session),
 * so one pattern can be uploaded in sections, each to a memory region of its own with a playback
 * start of its own. Returns 4 for a length or offset that gives no valid address, 104 with an
 * ADC session, 103 with none (nothing changes), or the exchange's status (nothing is started
 * then). */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Start_DDR_to_DAC(uint32_t Length,
                                                                 int32_t Start_Offset);

/* Uploads a section of Length 16-bit words of Pattern block after block (the first byte of
 * every word goes to data port 0, the second to data port 1), taking the words from the upload
 * cursor, a byte offset into Pattern: 0 after a DAC session, then where the last upload left it.
 * Pattern must hold cursor / 2 + Length words. Goes on until the section is complete or more
 * than Time_Budget ms have passed after a block. Starts the playback itself (Length words at
 * Start_Offset) when it is not started. *Position_Out receives the cursor after each block,
 * *Done_Out 1 after the section's last block (set it to 0 before the first call). A block that
 * fails ends the call with the OR of its two transfer results and ends the playback, and takes
 * the cursor back to where the section began (*Position_Out then reads that offset): the next
 * call starts the playback again and sends the section from its first word. Returns 103
 * without a DAC session, 108 if the plan would read past Length. */
VRX5200_API int32_t VRX5200_CALL
VRX5200BrdCtrl_Write_DDR_from_Array(const void* Pattern, int32_t Start_Offset, int32_t Time_Budget,
                                    int32_t* Position_Out, uint32_t Length, int32_t* Done_Out);

/* Uploads the next block of a started playback from a binary pattern file (such as the file the
 * sample-file conversions write), read from the upload cursor, which it shares with the array
 * upload. The two int32_t arguments are not used. Returns 107 when the file cannot be opened
 * (a directory cannot), 106 when no playback is started or the pattern is complete, 112 when
 * the file holds fewer bytes than the block (nothing changes). *Done_Out becomes 1 after the
 * last block. A block that fails ends the playback and takes the cursor back to where the
 * section began: after a new playback start the upload sends the section again from its first
 * block. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Write_DDR_from_File(const char* File_Name,
                                                                    int32_t Unused1,
                                                                    int32_t Unused2,
                                                                    int32_t* Done_Out);

/* Starts playback of Pattern (Length words) from offset 0 and uploads all of it, from its first
 * word, in one call; the upload cursor is left after it. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Write_to_DAC(uint32_t Length, const void* Pattern);

/* ---- Sample files ------------------------------------------------------------------- */

/* Converts a text file of decimal samples (Column_Count columns, 1 to 10, separated by runs of
 * the Delimiters characters; lines of up to 79 characters) into Output_Dir + "/DAC_test.bin".
 * Lane_Map (Lane_Count entries, 1 to 5120) gives the output byte order: entry c > 0 writes the
 * high byte and -c the low byte of column c's sample, each pick walking through the rows on its
 * own. For input paths containing ".vrx" line m is first multiplied by Multipliers[m % 4096].
 * VRX5200BrdCtrl_Offset_BinRep writes each sample plus 0x8000 (offset binary),
 * VRX5200BrdCtrl_Twos_Complement writes it unchanged. A last line without a line terminator is
 * not converted; a line's text ends at a NUL. A file of several columns must hold the first
 * Delimiters character in the text of a line. The new file is written beside DAC_test.bin and
 * takes its place only when the conversion succeeded: a negative result leaves the previous
 * DAC_test.bin as it was. Returns the number of lines converted, or a negative VRX5200_CONVERT_
 * code. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Offset_BinRep(
    const char* Input_File, const char* Delimiters, const char* Output_Dir,
    const int32_t* Multipliers, const int32_t* Lane_Map, int32_t Lane_Count, int32_t Column_Count);
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Twos_Complement(
    const char* Input_File, const char* Delimiters, const char* Output_Dir,
    const int32_t* Multipliers, const int32_t* Lane_Map, int32_t Lane_Count, int32_t Column_Count);

/* ---- FPGA configuration ------------------------------------------------------------ */

/* Loads the programming file Path (a raw configuration bit stream) into the board's FPGA over
 * JTAG, printing its progress ("Info: ...") on standard output and errors on standard error,
 * then sets the JTAG port up again. Returns 20 when the configuration ran to its end, 101 when
 * no board's ports are open, 109 when the chain names an unknown part, 110 when the chain
 * verification fails, 111 when the file cannot be opened (a directory cannot), 112 when it
 * cannot be read completely, 113 when the status check failed three times. When the JTAG port
 * cannot be closed as it is set up again at the end, it keeps its handle (closing the ports
 * closes it); the result is 20 all the same. */
VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Load_Firmware(const char* Path);

/* ---- Result texts -------------------------------------------------------------------- */

/* One sentence that says what a result code of the VRX5200BrdCtrl_ functions means. Codes
 * below 100 that are not the library's own are statuses of the USB driver. */
static inline const char* VRX5200_Result_Text(int32_t code) {
  switch (code) {
    case 0:
      return "success";
    case 2:
      return "a port among ports 0 to 2 failed to open or to be set up";
    case 4:
      return "the pattern length or start offset gives no valid board-memory address";
    case 6:
      return "a bulk read of a data port failed during the read-back";
    case 8:
      return "a read from a port did not deliver exactly the bytes requested";
    case 9:
      return "the board did not answer within 10,000 ms";
    case 10:
      return "a write to a port accepted fewer bytes than given";
    case 18:
      return "the capture length is not a positive multiple of 32";
    case 19:
      return "no USB device found, or the device list could not be read";
    case 20:
      return "the FPGA configuration ran to its end";
    case 101:
      return "no board is selected, or the board number is out of range";
    case 102:
      return "the capture did not finish within the time limit";
    case 103:
      return "no board selected or no session of the kind needed is configured";
    case 104:
      return "a session of the other kind (ADC or DAC) is configured";
    case 105:
      return "a DAC session is configured; configure an ADC session to capture";
    case 106:
      return "no capture has been started, or it has been read completely";
    case 107:
      return "a file failed to open";
    case 108:
      return "an argument is invalid (null pointer or value out of range)";
    case 109:
      return "the JTAG chain names a part that is not in the device table";
    case 110:
      return "the JTAG chain verification failed";
    case 111:
      return "the programming file cannot be opened";
    case 112:
      return "a file could not be read or written completely";
    case 113:
      return "the FPGA status check failed on all three attempts";
    default:
      break;
  }
  if (code > 0 && code < 100) return "the USB driver reported a failure (driver status)";
  return "unknown result code";
}

#ifdef __cplusplus
}
#endif

#endif /* VRX5200_BRDCTRL_H */
