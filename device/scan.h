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

// When a scan with retries (the exchange options' above 0) asks a silent
// address again. Without the options' silent_on_loss (kp6ctl, whose
// retries are asked for): each one at once, as any failed exchange. With it
// (the window, whose retries are on by default): most silent addresses are
// empty, so a clean line's scan asks each once; only once the line has
// shown that it loses frames (a controller that answered only when asked
// again, or fell silent after its selection), or when nobody answered at
// all, are the addresses still silent asked again, a pass each, at most
// `retries` passes, until a pass finds nobody new. Two controllers at one
// address are no lossy line.

// Asks each address from `from` to `to` with a read of ER78 (a whole read,
// not a stray byte, tells a controller is there), each answer awaited
// `timeout_ms` once its frame has crossed the line, silence asked again
// as the options' silent_on_loss says, garble at least once. SCAN_DONE; SCAN_STOPPED
// when `each` asked; SCAN_LINE_LOST when the line was lost
// (a network line closed, a serial device gone). *next is
// the first address not asked (to + 1 when done). The exchanges' options
// are as they were afterwards, whole.
int bus_scan(unsigned short port, unsigned char from, unsigned char to, unsigned long timeout_ms,
             scan_each each, void* ctx, unsigned* next);

// With silent_on_loss and retries: the passes over the addresses the
// last bus_scan found silent, when the line has lost frames since
// `repeats_before` (exchange_repeats then) though the scan saw none, as a
// Read of the controllers found may show. The number of controllers found
// so, or -1 (stopped, or the line lost: *result says which).
int bus_scan_silent_again(unsigned short port, unsigned long timeout_ms,
                          unsigned long repeats_before, scan_each each, void* ctx, int* result);

#endif
