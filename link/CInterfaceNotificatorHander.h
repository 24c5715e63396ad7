#pragma once
// The observer through which the manager and a link's port provisioning tell the main window
// that something changed. Every call is made on the user interface thread.

namespace qx {

enum PortOperationState : int {
    kPortOperationDone = 0,
    kPortOperationCreating = 1,
    kPortOperationReleasing = 2,
};

class CInterfaceNotificatorHander {
public:
    virtual int OnPortOperation(int /*state*/, int /*portNumber*/) { return 0; }
    virtual void OnInterfacesChanged() {}
    virtual void OnInterfaceChanged(int /*index*/) {}
    // A port kept while its interface is away was opened or closed, or dropped what its program
    // wrote.
    virtual void OnWaitingPortsChanged() {}

protected:
    ~CInterfaceNotificatorHander() = default;  // never deleted through this interface
};

}  // namespace qx
