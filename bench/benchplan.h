#pragma once

// How much the benchmark measures: each variant of the program is started `runs` times, and
// every run samples one header wait and then streams `recordsPerRun` records.
struct BenchPlan {
    int runs { 5 };
    int headerWaitSeconds { 10 };
    int recordsPerRun { 10 };
};
