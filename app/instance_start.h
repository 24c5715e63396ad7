#pragma once
// How a start meets the single instance: taking the run, forwarding a request to the running
// instance, or waiting for it to end, with what the user is told when none of it works.
#include <chrono>
#include <memory>
#include <string>

#include "platform/single_instance.h"

namespace qx {

// How long a start waits for the running instance: to answer a request, and to end (release
// its ports and save its settings) after an exit request.
struct InstanceWaits {
    std::chrono::milliseconds answer = std::chrono::seconds(5);
    std::chrono::milliseconds end = std::chrono::seconds(30);
};

// "-x": asks the running instance to exit and returns once its process has ended: 0; 1 with the
// reason in message when none runs or it did not end in time.
int EndRunningInstance(const std::string& dir, const InstanceWaits& waits, std::string* message);

// A start that is to run: the run of dir, or null when this start has nothing more to do.
// Null with message empty: the request went to the running instance, which handled it. Null
// with a message: the run could not be had (not another copy's doing, or one that holds it
// without answering). An instance that is ending is waited for, then this start runs.
std::unique_ptr<SingleInstance> TakeRunOrForward(const std::string& dir, int request,
                                                 const InstanceWaits& waits, std::string* message);

// The user's text for a lock that could not be had.
std::string DescribeLockFailure(const LockFailure& failure);

}  // namespace qx
