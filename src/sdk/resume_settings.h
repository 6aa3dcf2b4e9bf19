// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_SDK_RESUME_SETTINGS_H
#define QUORVEX_SDK_RESUME_SETTINGS_H

#include "quorvex/quorvex.h"

namespace QUORVEX {

// The resumption settings in force, every field resolved; enabled false when off.
QvAsrResumeSettings currentResumeSettings();

} // namespace QUORVEX

#endif
