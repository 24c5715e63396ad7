#include "app/instance_start.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/string_ids.h"
#include "app/strings.h"

namespace qx {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Left(Clock::time_point deadline) {
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                    std::chrono::milliseconds(0));
}

std::string FoundText(const LockFailure& failure) {
    if (!failure.isDirectory) return std::strerror(ENOTDIR);
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(failure.mode));
    return FormatTexts(LoadLocalizedString(kStrLockDirFound),
                       {std::to_string(failure.owner), mode, std::to_string(::getuid())});
}

// A start that can neither run nor hand its request over; the errno when a call failed.
InstanceStart Unavailable(const LockFailure& failure) {
    const int code = failure.kind == LockFailure::kSystem ? failure.error : 0;
    return {.error = Error{code, DescribeLockFailure(failure)}};
}

}  // namespace

std::string DescribeLockFailure(const LockFailure& failure) {
    switch (failure.kind) {
    case LockFailure::kNotPrivate:
        return FormatTexts(LoadLocalizedString(kStrDirNotPrivate),
                           {failure.path, FoundText(failure)});
    case LockFailure::kSystem:
        return FormatTexts(LoadLocalizedString(kStrLockCallFailed),
                           {failure.attempt, failure.path, std::strerror(failure.error)});
    case LockFailure::kHeld:
        return FormatTexts(LoadLocalizedString(kStrHeldWithoutAnswer), {failure.path});
    }
    return {};
}

Expected<void> EndRunningInstance(const std::string& dir, const InstanceWaits& waits) {
    const Clock::time_point deadline = Clock::now() + waits.end;
    // Taken, or not by an instance already ending (it no longer listens), the run ends only when
    // its owner has released its ports, saved its settings and let go of the lock. The process
    // still has its windows and threads to end after that: a script that starts the program
    // again, or unplugs the device, waits for the process itself when it can be named.
    const bool held = IsRunHeld(dir);
    UniqueFd owner;
    const Expected<void> taken = SendRequest(dir, kRequestExit, waits.end, &owner);
    const auto seconds =
        static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(waits.end).count());
    // An owner that was ending may have let go of the run while the request was sent again.
    if (!taken && !held && !IsRunHeld(dir)) return Error{0, LoadLocalizedString(kStrNoneRunning)};
    if (!taken && !NoneListened(taken.error()))
        return Error{taken.error().code,
                     FormatNumber(LoadLocalizedString(kStrDidNotAnswer), seconds)};
    if (!WaitUntilRunEnds(dir, Left(deadline)) || !WaitUntilProcessEnds(owner, Left(deadline)))
        return Error{0, FormatNumber(LoadLocalizedString(kStrDidNotEnd), seconds)};
    return {};
}

InstanceStart TakeRunOrForward(const std::string& dir, int request, const InstanceWaits& waits) {
    const Clock::time_point deadline = Clock::now() + waits.end;
    for (;;) {
        auto instance = SingleInstance::Acquire(dir);
        if (instance) return {std::move(*instance)};
        const LockFailure& failure = instance.error();
        if (failure.kind != LockFailure::kHeld) return Unavailable(failure);
        if (SendRequest(dir, request, waits.answer)) return {.forwarded = true};
        // No answer: the owner is ending (or hangs). This start runs once it has gone.
        if (Left(deadline).count() == 0 || !WaitUntilRunEnds(dir, Left(deadline)))
            return Unavailable(failure);
    }
}

}  // namespace qx
