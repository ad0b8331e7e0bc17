#pragma once

// The streaming row of the pacing table: data bytes a pass may send, and the 1 ms ticks a pass
// takes, per device id.
struct StreamingPace {
    int bytes_per_pass;
    int ticks_per_pass;

    static StreamingPace Of(int dev_id)
    {
        switch (dev_id) {
        case 3: return {128, 5};
        case 5: return {30, 10};
        default: return {128, 1};
        }
    }
    double BytesPerMs() const { return double(bytes_per_pass) / ticks_per_pass; }
};
