#pragma once
// The token operations behind the web-service commands: the handlers read and check the
// request, choose the device, and leave the work to these. Each returns a result code.
#include <cstdint>
#include <string>

class CDevice;

// "test_randrom" limits: 1 to 10,240 random bytes; line length of the bit and hex forms.
inline constexpr int32_t ORVA_RANDOM_MAX_SIZE = 10 * 1024;
inline constexpr size_t ORVA_RANDOM_LINE_CHARS = 64;

class CORVADeviceHelper {
 public:
  // Draws `lSize` random bytes from the token and writes them to `strFile` (created anew)
  // in the form `ulFormat`: 0 the raw bytes; 1 eight "0"/"1" characters per byte, most
  // significant bit first; 2 two upper-case hex digits per byte; 3 Base64 without line
  // breaks. Forms 1 and 2 are cut into lines of 64 characters joined by "\r\n", with none
  // after the last. 0x8100000B without a device, for a size outside 1..10240 or an empty
  // path; 0x81000004 for another form (the bytes are drawn first, no file is made); the
  // token's code when it gives no random bytes; the stream's code when the file cannot be
  // created or written.
  static uint32_t TestRandrom(CDevice* pDevice, int32_t lSize, uint32_t ulFormat,
                              const std::string& strFile);
};
