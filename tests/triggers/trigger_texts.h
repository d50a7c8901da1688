/*
 * trigger_texts.h - what the trigger tests expect the SDK to be handed.
 *
 *   Payload   the event payload of a trigger with this description
 *   Event     an event as the stand-in SDK records it: "event STATE LENGTH",
 *             then the payload, each on its own line
 */
#ifndef OMBRELLE_TEST_TRIGGER_TEXTS_H
#define OMBRELLE_TEST_TRIGGER_TEXTS_H

#include <string>

std::string Payload(const std::string &description);
std::string Event(int state, const std::string &payload);

#endif
