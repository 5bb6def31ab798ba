// The files the line's traffic is kept in, read in one pass and in bounded
// memory: the port layer's traffic log (port.out: code page 866, CR LF,
// each record's raw bytes after its hexadecimal line) and the capture
// that kp6ctl monitor --raw writes. kp6ctl decode and kp6-sim --replay
// read them.
#ifndef KP6_TRAFFIC_FILE_H
#define KP6_TRAFFIC_FILE_H

#include <stdio.h>

// What a record of the log is.
enum {
    REC_SENT,         // Запись (порт N)->
    REC_RECEIVED,     // Чтение порта N<- with the bytes that came
    REC_NO_ANSWER,    // a read that got nothing in time
    REC_CLEARED,      // Очистка буфера: bytes dropped (an echo, a late answer)
    REC_WRITE_ERROR,  // Ошибка записи: `code` the system's
    REC_START,        // the program started
    REC_ERRORS,       // the line's parity (`code`) and framing (`expected`) errors
    REC_BAD           // no record: `note` says why
};

enum { REC_BYTES_MAX = 16384 };

struct log_record {
    long line;       // the line of the file its head is on (from 1)
    int what;        // REC_*
    char time[24];   // "10.12.26 09:41:02.123"; empty when the record has none
    long ms_of_day;  // its time of day in ms; -1 none
    int port;        // the handle it names; 0 none
    const unsigned char* data;
    int len;
    int expected;  // a read that timed out: how many bytes it waited for; 0 none
    long code;
    char note[96];  // REC_BAD, or a record cut short: what is wrong
};

// Reads the log record by record, each told to `out`; a record is taken
// by the length its hexadecimal line gives, so raw bytes that look like a
// record's start are never one. 0 the file was read to its end, else the
// system's code of a failed read.
int log_read(FILE* f, void (*out)(const log_record& r, void* ctx), void* ctx);

// The capture: a first line "kp6 capture 1, BAUD baud", then a line a
// block, "SECONDS DIR HEX ...": the time the block began since the
// capture's start (microseconds), -> the master's or <- a controller's.
enum { CAPTURE_OK, CAPTURE_NOT_ONE, CAPTURE_BAD_LINE };
struct capture_block {
    long line;
    double seconds;
    int dir;  // DIR_SENT or DIR_RECEIVED
    const unsigned char* data;
    int len;
};
// CAPTURE_OK, CAPTURE_NOT_ONE (no capture's first line), or
// CAPTURE_BAD_LINE with the line's number in *bad_line.
int capture_read(FILE* f, unsigned long* baud, void (*out)(const capture_block& b, void* ctx),
                 void* ctx, long* bad_line);
// The first line of a capture.
void capture_head(FILE* f, unsigned long baud);

#endif
