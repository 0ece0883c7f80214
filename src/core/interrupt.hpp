// Long computations call an Interrupt between units of work, so that the caller can abandon
// them: the check may throw, and everything the computation holds is released on the way out.
#pragma once

namespace tanvo {

struct Interrupt {
    void (*check)() = nullptr;
    void operator()() const {
        if (check) check();
    }
};

}  // namespace tanvo
