#include "tests/support/fake_port.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace qx::test {

void FakePortState::SetOpen(bool value) {
    std::lock_guard lock(mutex);
    open = value;
}

void FakePortState::SetLines(bool rtsValue, bool dtrValue) {
    std::lock_guard lock(mutex);
    rts = rtsValue;
    dtr = dtrValue;
}

void FakePortState::SetSettings(int baud, int data, int parityCode, int stopBitsCode) {
    std::lock_guard lock(mutex);
    baudRate = baud;
    dataBits = data;
    parity = parityCode;
    stopBits = stopBitsCode;
}

void FakePortState::ProgramWrites(const std::string& bytes) {
    bool arrived = false;
    {
        std::lock_guard lock(mutex);
        arrived = fromProgram.empty() && !bytes.empty();
        fromProgram += bytes;
    }
    if (arrived) Fire(kEventBytesWritten);
}

std::string FakePortState::TakeToProgram() {
    std::lock_guard lock(mutex);
    return std::exchange(toProgram, {});
}

void FakePortState::Fire(int dispatchId) {
    std::vector<std::shared_ptr<IVSPortAxEvents>> targets;
    {
        std::lock_guard lock(mutex);
        for (const auto& [cookie, sink] : sinks) targets.push_back(sink);
    }
    for (const auto& sink : targets) sink->Invoke(dispatchId);
}

std::size_t FakePortState::SinkCount() const {
    std::lock_guard lock(mutex);
    return sinks.size();
}

FakePort::FakePort(std::shared_ptr<FakePortState> state) : state_(std::move(state)) {}

template <typename T>
std::optional<T> FakePort::Get(T FakePortState::*field) {
    std::lock_guard lock(state_->mutex);
    if (state_->failing) return std::nullopt;
    return (*state_).*field;
}

Expected<void> FakePort::CreatePort(const std::string& name) {
    std::lock_guard lock(state_->mutex);
    ++state_->createCalls;
    if (state_->failing || state_->createFails) return Error::FromErrno(EEXIST, "creating " + name);
    state_->name = name;
    return {};
}

void FakePort::DeletePort() {
    std::lock_guard lock(state_->mutex);
    ++state_->deleteCalls;
    state_->name.clear();
}

bool FakePort::WriteToPort(const uint8_t* data, int count) {
    std::lock_guard lock(state_->mutex);
    ++state_->writeCalls;
    if (state_->failing || count < 0) return false;
    if (state_->toProgram.size() + static_cast<std::size_t>(count) > state_->capacity) return false;
    state_->toProgram.append(reinterpret_cast<const char*>(data), count);
    return true;
}

std::optional<int> FakePort::ReadFromPort(uint8_t* buffer, int maxCount) {
    std::lock_guard lock(state_->mutex);
    if (state_->failing) return std::nullopt;
    auto& pending = state_->fromProgram;
    const int count = std::min<int>(std::max(maxCount, 0), static_cast<int>(pending.size()));
    std::memcpy(buffer, pending.data(), count);
    pending.erase(0, count);
    return state_->readClaim >= 0 ? state_->readClaim : count;
}

std::optional<bool> FakePort::IsOpen() { return Get(&FakePortState::open); }

std::optional<int> FakePort::BytesWaiting() {
    std::lock_guard lock(state_->mutex);
    if (state_->failing) return std::nullopt;
    return static_cast<int>(state_->fromProgram.size());
}

void FakePort::DeleteAllPorts() {
    std::lock_guard lock(state_->mutex);
    ++state_->deleteAllCalls;
}

Expected<void> FakePort::ReusePort(const std::string& name) {
    std::lock_guard lock(state_->mutex);
    ++state_->reuseCalls;
    if (state_->failing || state_->reuseFails) return Error::FromErrno(EACCES, "reusing " + name);
    state_->name = name;
    return {};
}

bool FakePort::SetInputLine(bool asserted) {
    std::lock_guard lock(state_->mutex);
    if (state_->failing) return false;
    state_->inputLine = asserted;
    return true;
}

void FakePort::SetCreationFlag(bool flag) {
    std::lock_guard lock(state_->mutex);
    state_->creationFlag = flag;
}

bool FakePort::KeepServed() {
    std::lock_guard lock(state_->mutex);
    ++state_->keepServedCalls;
    return std::exchange(state_->servedAgain, false);
}

std::optional<int> FakePort::GetParity() { return Get(&FakePortState::parity); }
std::optional<int> FakePort::GetStopBits() { return Get(&FakePortState::stopBits); }
std::optional<int> FakePort::GetDataBits() { return Get(&FakePortState::dataBits); }
std::optional<int> FakePort::GetBaudRate() { return Get(&FakePortState::baudRate); }
std::optional<std::string> FakePort::GetOpenerPath() { return Get(&FakePortState::openerPath); }
std::optional<bool> FakePort::GetRts() { return Get(&FakePortState::rts); }
std::optional<bool> FakePort::GetDtr() { return Get(&FakePortState::dtr); }

bool FakePort::Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie) {
    std::lock_guard lock(state_->mutex);
    if (state_->failing || state_->adviseFails || !sink) return false;
    cookie = state_->nextCookie++;
    state_->sinks[cookie] = std::move(sink);
    return true;
}

void FakePort::Unadvise(uint32_t cookie) {
    std::lock_guard lock(state_->mutex);
    state_->sinks.erase(cookie);
}

FakePortClass::FakePortClass(std::string portsDirectory)
    : portsDirectory_(std::move(portsDirectory)) {}

std::unique_ptr<IVSPortAx> FakePortClass::CreateInstance() {
    if (failCreateInstance) return nullptr;
    auto state = std::make_shared<FakePortState>();
    state->createFails = createFails;
    state->reuseFails = reuseFails;
    made.push_back(state);
    return std::make_unique<FakePort>(std::move(state));
}

}  // namespace qx::test
