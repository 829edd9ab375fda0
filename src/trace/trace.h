#pragma once

#include "QorLeLib.h"

// One line of diagnostics: formatted on the caller's stack, sent to the installed
// sink or, when there is none, to the debugger output.
void LeTrace(const char *format, ...) __attribute__((format(ms_printf, 1, 2)));

static constexpr size_t kTraceLineSize = 1024;
