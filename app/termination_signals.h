#pragma once
// SIGINT and SIGTERM turned into a readable descriptor, so the running instance ends through
// its exit path (ports released, settings saved) instead of dying where it stands. A signal
// that comes before anyone watches waits in the descriptor.
#include <signal.h>

#include "platform/fd.h"

namespace qx {

class TerminationSignals {
public:
    TerminationSignals();   // installs the handlers; Fd() is -1 when that failed
    ~TerminationSignals();  // restores the previous handlers
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    int Fd() const { return read_.Get(); }
    void Drain();  // takes the signals seen so far

private:
    UniqueFd read_, write_;
    struct sigaction oldInt_ = {}, oldTerm_ = {};
};

}  // namespace qx
