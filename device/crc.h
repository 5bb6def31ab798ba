// The 8-bit checksum of the controller's frames.
#ifndef KP6_CRC_H
#define KP6_CRC_H

// Starts at 0xFF; each byte is XORed in and the result rotated left by one.
unsigned char csm8(const unsigned char* data, unsigned short len);

#endif
