#pragma once
// The queries a later start sends to the running instance (--status, --set-port), their text
// on the instance socket, and the answers the running instance gives on its user interface
// thread, window or headless alike.
#include <string>

#include "app/command_line.h"

namespace qx {

class CHVInterfaceManager;
class IVSPortAxClass;
struct ProgramSettings;

std::string StatusQuery(bool json);
std::string SetPortQuery(const SetPortOperands& operands);

// The answer to a query: its exit status for the asking start and the text it prints
// (standard output for status 0, standard error otherwise).
struct QueryAnswer {
    int status = 0;
    std::string text;
};
std::string EncodeAnswer(const QueryAnswer& answer);
QueryAnswer DecodeAnswer(const std::string& encoded);

// Answers query. --set-port goes through the manager's port provisioning like the Ports page,
// saves the interface's settings, tells the manager's observer the interfaces changed, and
// answers with the texts of the port-operation balloons, then the channel's port.
QueryAnswer AnswerQuery(const std::string& query, CHVInterfaceManager& manager,
                        const IVSPortAxClass& portClass, const ProgramSettings& program);

}  // namespace qx
