// The controller's frames named: the bytes of a block as they crossed the
// line, split into frames by their lengths and worded ("select 1F",
// "read ER79", "05 07 ..: ER79 = 7"). No window, no port: kp6ctl's -v,
// decode and monitor and kp6-sim's replay share it.
#ifndef KP6_DECODE_H
#define KP6_DECODE_H

// Which way a block went: sent by the master, received from a
// controller, or heard on a line where both talk (the frame decides).
enum { DIR_SENT, DIR_RECEIVED, DIR_LINE };

// What a frame is.
enum {
    FRAME_SELECT,    // 60 address 00 csm8 C0
    FRAME_TEST,      // 60 address 81 csm8
    FRAME_PARAM,     // CA/CB/C9 and the register word
    FRAME_SELECTED,  // C0 after a selection
    FRAME_VALUE,     // 05 value x after a parameter frame
    FRAME_REFUSED,   // 15
    FRAME_ANSWERED,  // any byte after a Test
    FRAME_BAD_SUM,   // a header whose csm8 is wrong
    FRAME_ECHO,      // the master's own frame heard back
    FRAME_UNKNOWN    // bytes that fit no frame
};

enum { DECODE_MEANING = 96, DECODE_UNKNOWN_RUN = 16 };

struct decode_frame {
    int kind;                 // FRAME_*
    int dir;                  // DIR_SENT or DIR_RECEIVED, as judged
    int address;              // the controller it concerns, -1 none known
    const unsigned char* at;  // its bytes, inside the block given
    int len;
    char meaning[DECODE_MEANING];
};

// What one line's decoder remembers between blocks: the last request
// (so that an answer is known by it) and the master's last frame (so
// that its echo is). Zero-initialise it, or call decode_reset.
struct decoder {
    int address;  // selected or tested last; -1 none
    int expect;   // FRAME_SELECT, FRAME_TEST, FRAME_PARAM: what the answer answers; -1 none
    unsigned char command;
    unsigned reg;  // the parameter frame's register, 24 bits
    unsigned char value;
    unsigned char last[8];  // the master's last frame
    int last_len;
};
void decode_reset(decoder& d);

// Splits one block into frames, each told to `out` in order; bytes that
// fit none go out as FRAME_UNKNOWN runs of at most DECODE_UNKNOWN_RUN.
// Returns the number of frames. Allocates nothing.
int decode_block(decoder& d, int dir, const unsigned char* data, int len,
                 void (*out)(const decode_frame& f, void* ctx), void* ctx);

// A register's name: "ER79", "IR24", else six hex digits.
void register_text(unsigned reg, char* out, unsigned size);

#endif
