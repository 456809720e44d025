#include "records/EventMessageXml.h"

void setEvMessageContainerToXML(const EvMessageContainer& container, Common::EventMessage& event) {
  event.setint64(Common::EventMessage::F_messageId, container.GetMessageID());
  std::vector<std::string> arguments;
  for (const EvArgument& argument : container.Arguments().Arguments()) arguments.push_back(argument.ToText());
  event.setliststring(Common::EventMessage::F_arguments, arguments);
}
