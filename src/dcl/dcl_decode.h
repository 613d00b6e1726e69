// Decoder for the implode format.
//
// dclDecode turns exactly one stream (two header bytes, then bit-coded
// tokens up to the end-of-stream code) back into its bytes. Input is pulled
// through the read callback in blocks of up to 2048 bytes, output pushed
// through the write callback in blocks of exactly 4096 bytes and one last
// shorter block. All state lives in the caller's work area; the decoder
// allocates nothing, calls nothing but the two callbacks and may run on
// several threads at once with separate work areas.
#ifndef QV_DCL_DECODE_H
#define QV_DCL_DECODE_H

#include <stdint.h>

// Bytes of caller-owned memory one dclDecode call needs. Its earlier content
// is ignored; it may be freed or reused as soon as the call returns.
#define DCL_WORK_AREA_SIZE 12596

enum class DclResult : int {
  Ok = 0,                  // end-of-stream code reached, all output written
  BadDictionarySize = 1,   // header byte 1 is not 4, 5 or 6
  BadCompressionType = 2,  // header byte 0 is not 0 (binary) or 1 (ASCII)
  InputTooShort = 3,       // the first read delivered 4 bytes or fewer
  UnexpectedEnd = 4,       // input ended before the end-of-stream code
};

// Places up to *count bytes (always 2048 on entry) in buffer and returns how
// many it placed; 0 means there is no more input. Whatever it leaves in
// *count is ignored.
typedef uint32_t (*DclReadCallback)(unsigned char *buffer, uint32_t *count, void *userParam);

// Receives *count decoded bytes, the next of the output; they must be taken
// before returning because the buffer is reused. The return value is ignored.
typedef uint32_t (*DclWriteCallback)(unsigned char *buffer, uint32_t *count, void *userParam);

// Decodes one stream. userParam is passed unchanged to both callbacks.
DclResult dclDecode(DclReadCallback readCallback, DclWriteCallback writeCallback, void *workArea,
                    void *userParam);

// The name of a result ("Ok", "UnexpectedEnd", ...), for messages.
const char *dclResultName(DclResult result);

#endif
