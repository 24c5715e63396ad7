// Any request to the CUSE helper gets a port number in range or a refusal with a reason, and a
// granted number is exactly the one the request names.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "helper/port_request.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte chooses who asks and which ports are taken; the rest is the request.
    const uint8_t choice = size > 0 ? data[0] : 0;
    const std::span<const uint8_t> request =
        size > 0 ? std::span(data + 1, size - 1) : std::span<const uint8_t>();
    std::vector<qx::helper::HeldPort> held;
    for (int n = 1; n <= 255; n += 1 + choice % 7) held.push_back({n, static_cast<uid_t>(n % 3)});
    const uid_t peer = choice % 4;

    const qx::Expected<int> decided = qx::helper::DecidePortRequest(request, peer, held);
    if (!decided) {
        Require(!decided.error().message.empty());
        return 0;
    }
    const int number = *decided;
    Require(number >= 1 && number <= 255);
    const std::string name = qx::helper::PortDeviceName(number);
    Require(std::string(request.begin(), request.end()) == name);
    for (const auto& port : held) Require(port.number != number);
    return 0;
}
