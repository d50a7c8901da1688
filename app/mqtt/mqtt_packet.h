/*
 * mqtt_packet.h - MQTT 3.1.1 packets of a publishing client, as bytes, and
 * their MQTT 5 forms (the section at the end).
 *
 * Pure functions over caller buffers: no I/O, no allocation, no state.
 *
 *   mqtt_encode_remaining_length / mqtt_decode_remaining_length
 *                      the variable-length size field of the fixed header
 *   mqtt_encode_connect, mqtt_encode_publish, mqtt_encode_pingreq,
 *   mqtt_encode_disconnect
 *                      the packets a publishing client sends; each returns the
 *                      packet's length in bytes, or -1 when the record is
 *                      invalid or the packet does not fit in out[size]
 *   mqtt_decode        the first packet of a byte stream from a server
 *   mqtt_utf8_valid, mqtt_topic_name_valid
 *                      the string rules a broker enforces
 *
 * No packet over MQTT_PACKET_MAX bytes is ever made or accepted: a client
 * that publishes one short line per message needs no more, and a server that
 * announces a longer packet is refused before its body is waited for.
 */
#ifndef OMBRELLE_MQTT_PACKET_H
#define OMBRELLE_MQTT_PACKET_H

#include <stddef.h>
#include <stdint.h>

/* Largest packet, fixed header included, that is made or accepted. */
enum { MQTT_PACKET_MAX = 2048 };

/* The largest value the four bytes of the size field can carry. */
#define MQTT_REMAINING_LENGTH_MAX 268435455u
/* The size field takes at most this many bytes. */
enum { MQTT_REMAINING_LENGTH_BYTES = 4 };

/* A string field holds at most this many bytes (its two-byte length prefix). */
enum { MQTT_STRING_MAX = 65535 };

/* Control packet types (the high nibble of the first byte). */
enum {
    MQTT_CONNECT = 1,
    MQTT_CONNACK = 2,
    MQTT_PUBLISH = 3,
    MQTT_PUBACK = 4,
    MQTT_PUBREC = 5,
    MQTT_PUBREL = 6,
    MQTT_PUBCOMP = 7,
    MQTT_SUBSCRIBE = 8,
    MQTT_SUBACK = 9,
    MQTT_UNSUBSCRIBE = 10,
    MQTT_UNSUBACK = 11,
    MQTT_PINGREQ = 12,
    MQTT_PINGRESP = 13,
    MQTT_DISCONNECT = 14
};

/* CONNACK return codes; 1 to 5 refuse the connection. */
enum {
    MQTT_CONNACK_ACCEPTED = 0,
    MQTT_CONNACK_BAD_PROTOCOL = 1,
    MQTT_CONNACK_ID_REJECTED = 2,
    MQTT_CONNACK_SERVER_UNAVAILABLE = 3,
    MQTT_CONNACK_BAD_CREDENTIALS = 4,
    MQTT_CONNACK_NOT_AUTHORISED = 5
};

/* Results of the decoders. */
enum {
    MQTT_DECODE_OK = 0,
    MQTT_DECODE_INCOMPLETE = 1, /* a valid start: more bytes are needed */
    MQTT_DECODE_MALFORMED = -1, /* no server sends this: the stream is broken */
    MQTT_DECODE_TOO_LARGE = -2  /* announces more than MQTT_PACKET_MAX bytes */
};

typedef struct {
    const char *client_id; /* 1 to MQTT_STRING_MAX bytes of valid UTF-8 */
    const char *user;      /* null: no user name */
    const char *password;  /* null: none; only with a user name */
    uint16_t keepalive_s;  /* 0: the server never times the client out */
    int clean_session;     /* non-zero: no session state kept by the server */
} MqttConnect;

typedef struct {
    const uint8_t *topic; /* a valid topic name (mqtt_topic_name_valid) */
    size_t topic_size;
    const uint8_t *payload; /* any bytes, possibly none */
    size_t payload_size;
    int qos;            /* 0, 1 or 2 */
    int retain;         /* non-zero: the server keeps it for new subscribers */
    int dup;            /* non-zero: a redelivery (QoS 1 and 2 only) */
    uint16_t packet_id; /* 1 to 65535 for QoS 1 and 2, ignored for QoS 0 */
} MqttPublish;

/* A decoded packet. Fields that its type does not carry are zero. */
typedef struct {
    int type;            /* MQTT_CONNACK, MQTT_PUBACK, ... */
    int flags;           /* the low nibble of the first byte */
    size_t size;         /* bytes of the whole packet, fixed header included */
    uint16_t packet_id;  /* PUBACK, PUBREC, PUBREL, PUBCOMP, SUBACK, UNSUBACK; PUBLISH with QoS 1 or 2 */
    int session_present; /* CONNACK */
    int return_code;     /* CONNACK: MQTT_CONNACK_*, or a reserved code 6 to 255 */
} MqttPacket;

/*
 * Writes value into out[size] as the size field: 1 to 4 bytes, seven bits
 * each, least significant group first. Returns the bytes written, or -1 when
 * value exceeds MQTT_REMAINING_LENGTH_MAX or out is too small.
 */
int mqtt_encode_remaining_length(uint32_t value, uint8_t *out, size_t size);

/*
 * Reads the size field at in[0..size). On MQTT_DECODE_OK stores the value and
 * the bytes it took; MQTT_DECODE_INCOMPLETE when in ends inside the field;
 * MQTT_DECODE_MALFORMED when a fourth byte still announces a fifth. An
 * encoding longer than needed (0x80 0x00 for 0) is read as its value, as the
 * 3.1.1 decoding algorithm reads it.
 */
int mqtt_decode_remaining_length(const uint8_t *in, size_t size, uint32_t *value, size_t *used);

/* CONNECT for protocol level 4 ("MQTT"), without a will message. */
int mqtt_encode_connect(const MqttConnect *connect, uint8_t *out, size_t size);
int mqtt_encode_publish(const MqttPublish *publish, uint8_t *out, size_t size);
int mqtt_encode_pingreq(uint8_t *out, size_t size);
int mqtt_encode_disconnect(uint8_t *out, size_t size);

/*
 * Decodes the packet that starts at in[0], reading nothing past its end nor
 * past in[size - 1]; bytes after the packet are left for the next call.
 *
 * MQTT_DECODE_OK: *packet is filled and packet->size bytes belong to it.
 * MQTT_DECODE_INCOMPLETE: the bytes so far are a valid start; read more.
 * MQTT_DECODE_TOO_LARGE: the size field announces more than MQTT_PACKET_MAX.
 * MQTT_DECODE_MALFORMED: a type no server sends (CONNECT, SUBSCRIBE,
 * UNSUBSCRIBE, PINGREQ, DISCONNECT, 0, 15), wrong flags, a size that does not
 * match the type, a packet identifier 0, reserved CONNACK flags set, a PUBLISH
 * with QoS 3 or a topic that is not a valid topic name, a SUBACK code other
 * than 0, 1, 2 or 0x80.
 */
int mqtt_decode(const uint8_t *in, size_t size, MqttPacket *packet);

/*
 * 1 when text[size] is well-formed UTF-8 (shortest form, no surrogates, at most U+10FFFF) without
 * the characters brokers refuse in strings: U+0000, the control characters
 * U+0001 to U+001F and U+007F to U+009F, and the non-characters (U+FDD0 to
 * U+FDEF and every U+xxFFFE and U+xxFFFF); else 0.
 */
int mqtt_utf8_valid(const uint8_t *text, size_t size);

/* 1 for a topic to publish to: 1 to MQTT_STRING_MAX bytes of valid UTF-8 without "+" or "#"; else 0. */
int mqtt_topic_name_valid(const uint8_t *topic, size_t size);

/* ---- MQTT 5 ----
 *
 *   mqtt5_encode_connect   CONNECT for protocol level 5: the same record, and the
 *                          property Maximum Packet Size = MQTT_PACKET_MAX so
 *                          the server never sends more than is accepted
 *   mqtt5_encode_publish   PUBLISH with empty properties
 *   mqtt5_decode           the first packet of a byte stream from an MQTT 5
 *                          server, reason codes and CONNACK properties read
 *   mqtt5_connack_wants_v311
 *                          whether a CONNACK says "speak 3.1.1"
 * The encoders return as their 3.1.1 forms do: the length, or -1.
 */

enum { MQTT5_PROTOCOL_LEVEL = 5 };

/* Reason codes a publishing client acts on (0x80 and above are failures). */
enum {
    MQTT5_SUCCESS = 0x00,
    MQTT5_NO_MATCHING_SUBSCRIBERS = 0x10,
    MQTT5_UNSPECIFIED_ERROR = 0x80,
    MQTT5_MALFORMED_PACKET = 0x81,
    MQTT5_PROTOCOL_ERROR = 0x82,
    MQTT5_UNSUPPORTED_PROTOCOL_VERSION = 0x84,
    MQTT5_NOT_AUTHORIZED = 0x87,
    MQTT5_SERVER_UNAVAILABLE = 0x88,
    MQTT5_BAD_USER_NAME_OR_PASSWORD = 0x86,
    MQTT5_PACKET_TOO_LARGE = 0x95,
    MQTT5_QUOTA_EXCEEDED = 0x97,
    MQTT5_PAYLOAD_FORMAT_INVALID = 0x99
};

/* A decoded MQTT 5 packet. Fields that its type does not carry are zero. */
typedef struct {
    int type;            /* MQTT_CONNACK, MQTT_PUBACK, MQTT_PUBREC, MQTT_PUBREL, MQTT_PUBCOMP, MQTT_PINGRESP, MQTT_DISCONNECT */
    int flags;           /* the low nibble of the first byte */
    size_t size;         /* bytes of the whole packet, fixed header included */
    uint16_t packet_id;  /* PUBACK, PUBREC, PUBREL, PUBCOMP */
    int session_present; /* CONNACK */
    int reason_code;     /* CONNACK, PUBACK to PUBCOMP, DISCONNECT: MQTT5_* (the short forms: MQTT5_SUCCESS) */
    int v311;            /* CONNACK: 1 when it is a 3.1.1 CONNACK (2 bytes); reason_code is then its return code */
    /* CONNACK properties, with the values that hold when a property is absent. */
    uint32_t maximum_packet_size;  /* 0: absent (no limit but the protocol's) */
    uint16_t receive_maximum;      /* 65535 when absent */
    int server_keepalive_s;        /* -1: absent, the client's own keep-alive holds */
    int maximum_qos;               /* 2 when absent */
    int retain_available;          /* 1 when absent */
    size_t assigned_client_id_size; /* bytes of an Assigned Client Identifier (not kept), 0: none */
    uint32_t session_expiry_s;     /* Session Expiry Interval; 0 when absent */
} Mqtt5Packet;

/* CONNECT for protocol level 5; clean_session is Clean Start. */
int mqtt5_encode_connect(const MqttConnect *connect, uint8_t *out, size_t size);
int mqtt5_encode_publish(const MqttPublish *publish, uint8_t *out, size_t size);

/*
 * Decodes the packet at in[0] as mqtt_decode does (same results, same bound,
 * nothing read past the packet or past in[size - 1]), for the packets an MQTT 5
 * server sends a client that publishes and never subscribes.
 *
 * MQTT_DECODE_MALFORMED besides the 3.1.1 reasons: a type other than those of
 * Mqtt5Packet.type (AUTH among them: no authentication method is sent), a
 * reason code that the packet type cannot carry, a session with a refusal, a
 * property length that does not end with the packet, a property unknown or
 * not allowed in that packet, one given twice (User Property apart), a value
 * out of its range (Receive Maximum 0, Maximum Packet Size 0, Maximum QoS or a
 * flag other than 0 or 1) or a string that is not valid UTF-8.
 *
 * A CONNACK of exactly two bytes is the answer of a 3.1.1 server: it is
 * decoded as such with v311 set (see mqtt5_connack_wants_v311).
 */
int mqtt5_decode(const uint8_t *in, size_t size, Mqtt5Packet *packet);

/*
 * 1 when a decoded CONNACK refuses protocol level 5: a 3.1.1 server's
 * "unacceptable protocol version" (return code 1) or an MQTT 5 server's
 * Unsupported Protocol Version (0x84); else 0.
 */
int mqtt5_connack_wants_v311(const Mqtt5Packet *packet);

#endif
