#include "log.h"
#include "runtime.h"

namespace QUORVEX {

QvAsrClient* createAsrInstance() {
    sdkLog("QUORVEX::createAsrInstance");
    return nullptr;
}

int destroyAsrInstance(QvAsrClient*) {
    sdkLog("QUORVEX::destroyAsrInstance");
    sdkLog("out %s", "QUORVEX::destroyAsrInstance");
    return 0;
}

} // namespace QUORVEX
