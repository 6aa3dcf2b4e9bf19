// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_SDK_LIMITS_H
#define QUORVEX_SDK_LIMITS_H

#include "quorvex/quorvex.h"

namespace QUORVEX {

// The client limits in force, every field resolved to a positive value.
QvAsrClientLimits currentClientLimits();

} // namespace QUORVEX

#endif
