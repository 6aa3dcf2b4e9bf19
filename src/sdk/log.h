// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_SDK_LOG_H
#define QUORVEX_SDK_LOG_H

namespace QUORVEX {

constexpr int kLogBufferSize = 2048;

// Formats like printf into a 2048-byte buffer (longer texts are cut to 2047
// characters) and hands the text to the log file and to either the
// application's callback or standard output. Any thread; no lock, no heap.
void sdkLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens logSettings->logPath for update ("rb+": never created, written from
// its first byte). 0, or -1 after printing why.
int sdkLogInit();

} // namespace QUORVEX

#endif
