#pragma once
// How a start meets the single instance: taking the run, forwarding a request to the running
// instance, or waiting for it to end, with what the user is told when none of it works.
#include <chrono>
#include <memory>
#include <string>

#include "core/error.h"
#include "platform/single_instance.h"

namespace qx {

// How long a start waits for the running instance: to answer a request, and to end (release
// its ports and save its settings) after an exit request.
struct InstanceWaits {
    std::chrono::milliseconds answer = std::chrono::seconds(5);
    std::chrono::milliseconds end = std::chrono::seconds(30);
};

// "-x": asks the running instance to exit and returns once its process has ended; the reason
// when none runs or it did not end in time.
Expected<void> EndRunningInstance(const std::string& dir, const InstanceWaits& waits);

// What a start does once it has met the single instance: run, holding the run of dir; or
// nothing more, since the running instance handled its request; or neither, for the reason in
// error (not another copy's doing, or one that holds the run without answering).
struct InstanceStart {
    std::unique_ptr<SingleInstance> run{};  // set when this start runs
    bool forwarded = false;                 // the running instance took the request
    Error error{};                          // why, when neither
};

// An instance that is ending is waited for, then this start runs.
InstanceStart TakeRunOrForward(const std::string& dir, int request, const InstanceWaits& waits);

// The user's text for a lock that could not be had.
std::string DescribeLockFailure(const LockFailure& failure);

}  // namespace qx
