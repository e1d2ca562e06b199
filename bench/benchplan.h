#pragma once

// How much the benchmark measures: each variant of the program is started `runs` times, and
// every run samples one header wait and then streams `recordsPerRun` records.
struct BenchPlan {
    int runs { 5 };
    int headerWaitSeconds { 10 };
    int recordsPerRun { 10 };
    // Counting per poll starts after a body's 20th byte: the header handshake's wake-ups are
    // still settling in the polls before it.
    static constexpr int windowStartByte = 20;
};
