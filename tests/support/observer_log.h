#pragma once
// An observer that records every call, for tests of the manager and of port provisioning.
#include <string>
#include <utility>
#include <vector>

#include "link/CInterfaceNotificatorHander.h"

namespace qx::test {

class ObserverLog final : public CInterfaceNotificatorHander {
public:
    int OnPortOperation(int state, int portNumber) override {
        portOperations.emplace_back(state, portNumber);
        return 0;
    }
    void OnInterfacesChanged() override { ++interfacesChanged; }
    void OnInterfaceChanged(int index) override { interfaceChanged.push_back(index); }

    std::vector<std::pair<int, int>> portOperations;
    int interfacesChanged = 0;
    std::vector<int> interfaceChanged;
};

}  // namespace qx::test
