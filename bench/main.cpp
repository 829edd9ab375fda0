// The one main of the benchmark programs: the controller opened and reset,
// the program's own set-up and rows, each row measured, the clean-up.

#include <cstdio>

#include "method.h"
#include "qortest.h"

int main()
{
    qortest::Controller ctl;
    if (!ctl.IsOpen())
        return 1;
    ctl.Reset();
    bench::Program program;
    if (!bench::Rows(ctl, &program)) {
        std::printf("set-up failed\n");
        return 1;
    }
    bool met = true;
    for (const bench::Benchmark &b : program.rows) {
        met = bench::Measure(b) && met;
        if (b.after)
            b.after();
    }
    if (program.done)
        program.done();
    ctl.Reset();
    return met ? 0 : 2;
}
