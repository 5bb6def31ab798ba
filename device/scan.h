// The scan of a bus: each address of a range asked for ER78, one exchange
// at a time, as kp6ctl scan and the window's Find do it.
#ifndef KP6_SCAN_H
#define KP6_SCAN_H

// The whole bus, and how long each address is listened to.
enum { SCAN_FIRST = 0x01, SCAN_LAST = 0xFF, SCAN_TIMEOUT_MS = 100 };

// SCAN_TIMEOUT_MS, and through a device server twice the round trip
// measured while connecting, rounded up to the next millisecond: each
// answer also travels the network.
unsigned long scan_timeout_ms(unsigned short port);

// Told before each address is asked (`answered` SCAN_ASKING), after one has
// answered (SCAN_ANSWERED, with its ER78 byte), and after one whose answers
// were garbled (SCAN_GARBLED: a wrong byte where C0 or 05 belongs, bytes
// missing, more bytes than an answer) when asked again, which is no controller but most likely
// two at one address. An address told nothing more stayed silent (or refused). A garbled answer
// that a repeat follows with a clean one is a retry, not garbled. Non-zero stops the scan there.
enum { SCAN_ASKING = -1, SCAN_ANSWERED = 1, SCAN_GARBLED = 2 };
typedef int (*scan_each)(void* ctx, unsigned char address, int answered, unsigned char er78);
// What a garbled address is said to be.
const char SCAN_GARBLED_TEXT[] = "garbled answers: two controllers may share this address";

enum { SCAN_DONE, SCAN_STOPPED, SCAN_LINE_LOST };

// Asks each address from `from` to `to` with a read of ER78 (a whole read,
// not a stray byte, tells a controller is there), each answer awaited
// `timeout_ms` once its frame has crossed the line, silence asked again
// only when exchange_retries is above 0 (exchange_repeat_silence), garble
// at least once. SCAN_DONE; SCAN_STOPPED
// when `each` asked; SCAN_LINE_LOST when the network line closed. *next is
// the first address not asked (to + 1 when done). The exchanges' time-out
// settings are as they were afterwards.
int bus_scan(unsigned short port, unsigned char from, unsigned char to, unsigned long timeout_ms,
             scan_each each, void* ctx, unsigned* next);

#endif
