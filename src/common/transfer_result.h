// The outcome of one package file transfer (plain copy or archive
// extraction). A transfer never talks to the user; for a file that failed to
// open or to be written it leaves the full path in setupState.failingPath.
#ifndef QV_TRANSFER_RESULT_H
#define QV_TRANSFER_RESULT_H

enum class TransferResult : int {
  Done = 1,            // transferred completely (also an archive without members)
  Fatal = 0,           // the copy buffer or the decoder work area cannot be allocated
  SourceMissing = -1,  // the source cannot be opened or read
  CannotWrite = -2,    // a destination cannot be created or written, or a member is bad
  Cancelled = -3,      // cancelRequested was found set
};

#endif
