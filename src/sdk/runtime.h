// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_SDK_RUNTIME_H
#define QUORVEX_SDK_RUNTIME_H

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "quorvex/quorvex.h"

class CWSSClient;
class CWSSContext;

namespace QUORVEX {

// The library-wide runtime: null before init and after release. Created and
// freed only by init and release, which never run alongside other calls.
extern CWSSClient* sharedClient;       // owns the shared context and its loop thread
extern QvAsrSdkLogParam* logSettings;  // read by every log call
extern FILE* logFile;
extern std::mutex* sdkMutex;               // guards the destruction hand-shake only
extern std::condition_variable* sdkCond;   // destroyAsrInstance waits here
// Guarded by sdkMutex: release has stopped the loops, so a destruction still
// waiting for its check will never have it.
extern bool runtimeReleased;

constexpr const char* kModuleName = "quorvex";

// The context of loop index (counted round robin over the loops in force);
// null when the library is not initialised. Loop 0 is sharedClient's.
CWSSContext* loopContext(unsigned int index);
// The loop the next client is bound to.
unsigned int nextLoopIndex();

// init in two steps, for the C interface, which sets its log callback only
// once it knows its init goes on. claimInit: false when another init holds
// the claim (initialised, or starting on another thread), until release.
bool claimInit();
int initClaimed(QvAsrSdkLogParam* logParam, QvAsrSdkInitParam* initParam);

} // namespace QUORVEX

#endif
