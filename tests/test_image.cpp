// The unit tests' stand-in for the embedded image (tests point the reader at their own).
extern const unsigned char zarim_firmware_bin[];
extern const unsigned long zarim_firmware_bin_len;
const unsigned char zarim_firmware_bin[] = {0xFF, 0x03, 0x01, 0x01, 0x49};
const unsigned long zarim_firmware_bin_len = 5;
