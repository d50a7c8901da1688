/*
 * Fuzz target: bytes as a broker might send them, taken packet by packet
 * with mqtt_decode as feed_update takes them, and again with mqtt5_decode as
 * an MQTT 5 session takes them (properties, reason codes). Beyond the
 * sanitizers it checks that a decoded packet lies inside the input, that its
 * own bytes decode to the same packet and that any cut of them asks for more.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "mqtt_packet.h"

static void check(bool condition)
{
    if (!condition)
        abort();
}

/* Decodes a heap copy of exactly data[0..size), so a read past it is caught. */
static int decode_copy(const uint8_t *data, size_t size, MqttPacket *packet)
{
    uint8_t *copy = (uint8_t *)malloc(size > 0 ? size : 1);
    if (copy == nullptr)
        return MQTT_DECODE_MALFORMED;
    if (size > 0)
        memcpy(copy, data, size);
    int status = mqtt_decode(copy, size, packet);
    free(copy);
    return status;
}

/* The same for the MQTT 5 decoder. */
static int decode5_copy(const uint8_t *data, size_t size, Mqtt5Packet *packet)
{
    uint8_t *copy = (uint8_t *)malloc(size > 0 ? size : 1);
    if (copy == nullptr)
        return MQTT_DECODE_MALFORMED;
    if (size > 0)
        memcpy(copy, data, size);
    int status = mqtt5_decode(copy, size, packet);
    free(copy);
    return status;
}

static void take_mqtt5(const uint8_t *data, size_t size)
{
    size_t at = 0;
    for (;;) {
        Mqtt5Packet packet;
        int status = decode5_copy(data + at, size - at, &packet);
        check(status == MQTT_DECODE_OK || status == MQTT_DECODE_INCOMPLETE || status == MQTT_DECODE_MALFORMED ||
              status == MQTT_DECODE_TOO_LARGE);
        if (status != MQTT_DECODE_OK)
            break;
        check(packet.size >= 2 && packet.size <= size - at && packet.size <= MQTT_PACKET_MAX);
        check(packet.assigned_client_id_size < packet.size);
        check(packet.type != MQTT_CONNACK || packet.v311 || packet.receive_maximum > 0);

        Mqtt5Packet again;
        check(decode5_copy(data + at, packet.size, &again) == MQTT_DECODE_OK);
        check(memcmp(&again, &packet, sizeof packet) == 0);
        Mqtt5Packet cut;
        check(decode5_copy(data + at, packet.size - 1, &cut) == MQTT_DECODE_INCOMPLETE);
        at += packet.size;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    take_mqtt5(data, size);
    size_t at = 0;
    for (;;) {
        MqttPacket packet;
        int status = decode_copy(data + at, size - at, &packet);
        check(status == MQTT_DECODE_OK || status == MQTT_DECODE_INCOMPLETE || status == MQTT_DECODE_MALFORMED ||
              status == MQTT_DECODE_TOO_LARGE);
        if (status != MQTT_DECODE_OK)
            break;
        check(packet.size >= 2 && packet.size <= size - at && packet.size <= MQTT_PACKET_MAX);

        MqttPacket again;
        check(decode_copy(data + at, packet.size, &again) == MQTT_DECODE_OK);
        check(memcmp(&again, &packet, sizeof packet) == 0);
        MqttPacket cut;
        check(decode_copy(data + at, packet.size - 1, &cut) == MQTT_DECODE_INCOMPLETE);
        at += packet.size;
    }

    uint32_t value = 0;
    size_t used = 0;
    if (mqtt_decode_remaining_length(data, size, &value, &used) == MQTT_DECODE_OK) {
        uint8_t encoded[MQTT_REMAINING_LENGTH_BYTES];
        check(value <= MQTT_REMAINING_LENGTH_MAX && used >= 1 && used <= MQTT_REMAINING_LENGTH_BYTES);
        check(mqtt_encode_remaining_length(value, encoded, sizeof encoded) <= (int)used);
    }
    mqtt_utf8_valid(data, size);
    return 0;
}
