#include "trigger_texts.h"

std::string Payload(const std::string &description)
{
    const std::string ten(10, ' '), thirteen(13, ' ');
    return ten + "CameraAppEventPayload:\n" + "\t  {\n" + thirteen + "vendorName:\"Tarvane Systems,Inc\", \n" +
           thirteen + "eventName:\"Ombrelle\", \n" + thirteen + "eventState:\"1\", \n" + thirteen +
           "severity:\"info\", \n" + thirteen + "description:\"" + description + "\"\t\n" + ten + "}\n" + " ";
}

std::string Event(int state, const std::string &payload)
{
    return "event " + std::to_string(state) + " " + std::to_string(payload.size()) + "\n" + payload + "\n";
}
