/* DoIP (ISO 13400-2) client library: records, result codes, payload codecs and the client API.
 *
 * Conventions used throughout this header:
 * - Every function returns an int result code: DOIP_OK (0) on success, a negative DOIP_ERR_* code on a
 *   failure the library detects, or a DOIP_RA_* code for a routing activation the entity refused.
 * - Numbers are in host byte order in every record and big-endian on the wire.
 * - Records that receive a message buffer must be all zero or hold a buffer the library allocated
 *   (the library releases the old buffer with free() before storing a new one).
 * - No function reads or writes outside the byte count or capacity it is given.
 */
#ifndef DOIP_H
#define DOIP_H

#include <stddef.h>
#include <stdint.h>

#include "doip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ---- */
enum {
    DOIP_OK = 0,                    /* success */
    DOIP_ERR_GENERAL = -1,          /* bad buffer arguments or an allocation failure */
    DOIP_ERR_NULL_ADDRESSING = -2,  /* the addressing block of a payload _init is null */
    DOIP_ERR_BUFFER_TOO_SMALL = -4, /* the output buffer is shorter than the encoded message */
    DOIP_ERR_NULL_INPUT = -8,       /* the input byte buffer of a decoder or parser is null */
    DOIP_ERR_INPUT_TOO_SHORT = -9,  /* the input is empty or shorter than the payload's fixed part */
    DOIP_ERR_NULL_RECORD = -10,     /* the payload record is null, or a parser found no memory for it */
    DOIP_ERR_NULL_OUTPUT = -11,     /* the output byte buffer of an encoder is null */
    DOIP_ERR_BAD_PROTOCOL_VERSION =
        -12, /* the inverse protocol version is not the complement of the version */
    DOIP_ERR_UNKNOWN_PAYLOAD_TYPE = -13, /* the payload type lies outside the known ranges */
    DOIP_ERR_INCOMPLETE_MESSAGE = -16,   /* fewer than 8 bytes, or fewer payload bytes than announced */
    DOIP_ERR_NO_SOCKET_OPEN = -23,       /* no socket-open function is set in the socket table */
    DOIP_ERR_TIMEOUT = -26,              /* no matching message arrived within the wait time */
    DOIP_ERR_INVALID_ARGUMENT = -29,     /* a required pointer is null or a message record has no data */
    DOIP_ERR_NO_MESSAGE = -31,           /* the listener's queue in the message cache is empty */
    DOIP_ERR_NO_MEMORY = -34             /* the data buffer of a message record cannot be allocated */
};

/* ---- Routing activation results: 0x1001 + response code 0x00..0x07, then 0x10 and 0x11 ---- */
enum {
    DOIP_RA_UNKNOWN_SOURCE_ADDRESS = 0x1001, /* response 0x00: unknown source address */
    DOIP_RA_ALL_SOCKETS_ACTIVE = 0x1002,     /* response 0x01: all TCP_DATA sockets registered and active */
    DOIP_RA_SA_DIFFERENT = 0x1003,           /* response 0x02: SA differs from the socket's table entry */
    DOIP_RA_SA_ALREADY_ACTIVE = 0x1004,      /* response 0x03: SA active on another socket (never returned) */
    DOIP_RA_MISSING_AUTHENTICATION = 0x1005, /* response 0x04: missing authentication */
    DOIP_RA_REJECTED_CONFIRMATION = 0x1006,  /* response 0x05: rejected confirmation (never returned) */
    DOIP_RA_UNSUPPORTED_TYPE = 0x1007,       /* response 0x06: unsupported routing activation type */
    DOIP_RA_REQUIRES_TLS = 0x1008,           /* response 0x07: activation type requires a TLS socket */
    DOIP_RA_ACTIVATED = 0x1009,              /* response 0x10: routing activated (never returned) */
    DOIP_RA_CONFIRMATION_REQUIRED = 0x100A   /* responses 0x05 and 0x11: confirmation required/rejected */
};

/* ---- Payload types accepted by the header check (plus 0xF000..0xFFFF, manufacturer-specific) ---- */
enum {
    DOIP_PT_GENERIC_NACK = 0x0000,                /* generic DoIP header negative acknowledge */
    DOIP_PT_VEHICLE_ID_REQUEST = 0x0001,          /* vehicle identification request */
    DOIP_PT_VEHICLE_ID_EID_REQUEST = 0x0002,      /* vehicle identification request with EID */
    DOIP_PT_VEHICLE_ID_VIN_REQUEST = 0x0003,      /* vehicle identification request with VIN */
    DOIP_PT_VEHICLE_ID_RESPONSE = 0x0004,         /* vehicle announcement / identification response */
    DOIP_PT_ROUTING_ACTIVATION_REQUEST = 0x0005,  /* routing activation request */
    DOIP_PT_ROUTING_ACTIVATION_RESPONSE = 0x0006, /* routing activation response */
    DOIP_PT_ALIVE_CHECK_REQUEST = 0x0007,         /* alive check request */
    DOIP_PT_ALIVE_CHECK_RESPONSE = 0x0008,        /* alive check response */
    DOIP_PT_ENTITY_STATUS_REQUEST = 0x4001,       /* DoIP entity status request */
    DOIP_PT_ENTITY_STATUS_RESPONSE = 0x4002,      /* DoIP entity status response */
    DOIP_PT_POWER_MODE_REQUEST = 0x4003,          /* diagnostic power mode information request */
    DOIP_PT_POWER_MODE_RESPONSE = 0x4004,         /* diagnostic power mode information response */
    DOIP_PT_DIAG_MSG = 0x8001,                    /* diagnostic message */
    DOIP_PT_DIAG_MSG_ACK = 0x8002,                /* diagnostic message positive acknowledgement */
    DOIP_PT_DIAG_MSG_NACK = 0x8003                /* diagnostic message negative acknowledgement */
};

/* ---- Connection states kept in the connection state registry ---- */
enum {
    DOIP_STATE_ACTIVATED = 0,         /* routing is activated on the connection */
    DOIP_STATE_NONE = 1,              /* reported for a connection without an entry; never stored */
    DOIP_STATE_PENDING = 2,           /* connection open, activation requested and not granted */
    DOIP_STATE_CONFIRMATION = 3,      /* activation waits for, or was refused, confirmation */
    DOIP_STATE_UNSUPPORTED_TYPE = 4,  /* activation type not supported by the entity */
    DOIP_STATE_UNKNOWN_SOURCE = 5,    /* source address unknown to the entity */
    DOIP_STATE_NO_AUTHENTICATION = 6, /* authentication missing */
    DOIP_STATE_TLS_REQUIRED = 7       /* activation type needs a TLS connection */
};

/* ---- Protocol timer kinds ---- */
enum {
    DOIP_TIMER_A_DOIP_CTRL = 0,              /* A_DoIP_Ctrl */
    DOIP_TIMER_T_TCP_GENERAL_INACTIVITY = 1, /* T_TCP_General_Inactivity */
    DOIP_TIMER_T_TCP_INITIAL_INACTIVITY = 2, /* T_TCP_Initial_Inactivity */
    DOIP_TIMER_A_DOIP_DIAGNOSTIC_MESSAGE = 3 /* A_DoIP_Diagnostic_Message */
};

/* Size of the generic DoIP header on the wire. */
#define DOIP_HEADER_SIZE 8u
/* Size of the address text of an end point, terminating NUL included. */
#define DOIP_IP_ADDRESS_SIZE 66u

/* ---- Records ---- */

/* A whole DoIP message (generic header included) in a malloc'ed buffer of exactly `length` bytes.
 * An all-zero record is the empty message. `channel`, `aux1` and `aux2` are the application's. */
typedef struct doip_message_s {
    uint8_t channel;
    uint32_t length;
    uint32_t aux1;
    uint32_t aux2;
    uint8_t* data;
} doip_message_s;

/* The parsed generic header. */
typedef struct doip_package_s {
    uint8_t protocol_version;
    uint8_t inverse_protocol_version;
    uint16_t payload_type;
    uint32_t payload_length;
} doip_package_s;

/* The addressing block every payload _init reads; the part of doip_s from `source_address` on. */
typedef struct doip_addressing_s {
    uint16_t source_address;
    uint16_t reserved_address;
    uint16_t target_address;
    uint8_t protocol_version;
} doip_addressing_s;

/* One end of a TCP connection. */
typedef struct eth_config_s {
    uint32_t reserved;
    uint16_t port;
    char ip_address[DOIP_IP_ADDRESS_SIZE];
} eth_config_s;

/* The client context: one per connection, owned by the application. doip_init sets the defaults. */
typedef struct doip_s {
    uint8_t reserved_flag;                 /* 1 */
    uint16_t reserved_word;                /* 0xFF01 */
    uint16_t source_address;               /* 0x0EF5: the tester's logical address */
    uint16_t reserved_address;             /* 0xE001 */
    uint16_t target_address;               /* 0x0CE1: the entity's or ECU's logical address */
    uint8_t protocol_version;              /* 2 */
    uint32_t a_doip_ctrl_ms;               /* 2000 */
    uint32_t t_tcp_general_inactivity_ms;  /* 300000 */
    uint32_t t_tcp_initial_inactivity_ms;  /* 2000; also the time limit of doip_wait_message */
    uint32_t a_doip_diagnostic_message_ms; /* 2000 */
    uint8_t activation_type;               /* 0 */
    uint8_t oem_specific_present;          /* 1: routing activation requests carry the OEM field */
    uint32_t oem_specific;                 /* 0 */
    eth_config_s local;                    /* the tester's end: port 10001, empty address */
    eth_config_s remote;                   /* the entity's end: port 13400, empty address */
} doip_s;

/* Returns a pointer to the addressing block inside a context. */
#define DOIP_ADDRESSING(ctx) ((const doip_addressing_s*)(const void*)&(ctx)->source_address)

typedef int (*doip_socket_send_fn)(uint8_t channel, doip_s* ctx, uint8_t* bytes, uint32_t length);
typedef int (*doip_socket_reserved_fn)(void);
typedef int (*doip_socket_close_fn)(uint8_t channel, doip_s* ctx);
typedef int (*doip_socket_open_fn)(uint8_t channel, doip_s* ctx);

/* The application's socket functions, in this slot order. */
typedef struct doip_socket_ops_s {
    doip_socket_send_fn doip_socket_send;         /* sends the routing activation request */
    doip_socket_reserved_fn doip_socket_reserved; /* never called */
    doip_socket_close_fn doip_socket_close;       /* called by doip_uninitialize */
    doip_socket_open_fn doip_socket_open;         /* opens the TCP connection of a context */
} doip_socket_ops_s;

/* The logger hook: level (always 2), a NUL-terminated UTF-8 line and its length without the NUL. */
typedef int (*doip_logger_fn)(int level, const char* text, uint32_t length);

/* A protocol timer callback; runs on the library's timer thread. */
typedef void (*doip_timer_callback_fn)(void* arg);

/* Vehicle identification request (0x0001, 0x0002 with EID, 0x0003 with VIN). */
typedef struct doip_vehicle_id_request_s {
    doip_package_s header;
    union {
        uint8_t eid[6];
        uint8_t vin[17];
    };
} doip_vehicle_id_request_s;

/* Vehicle announcement / identification response (0x0004): 40 bytes, 41 with the sync status. */
typedef struct vehicle_id_response_s {
    doip_package_s header;
    uint8_t vin[17];
    uint16_t logical_address;
    uint8_t eid[6];
    uint8_t gid[6];
    uint8_t further_action;
    uint8_t has_sync_status;
    uint8_t sync_status;
} vehicle_id_response_s;

/* Alive check response (0x0008). */
typedef struct doip_alive_check_response_s {
    doip_package_s header;
    uint16_t source_address;
} doip_alive_check_response_s;

/* Entity status response (0x4002): 11 bytes, 15 with the max data size. */
typedef struct doip_entity_status_response_s {
    doip_package_s header;
    uint8_t node_type;
    uint8_t max_concurrent_sockets;
    uint8_t open_sockets;
    uint8_t has_max_data_size;
    uint32_t max_data_size;
} doip_entity_status_response_s;

/* Diagnostic power mode information response (0x4004). */
typedef struct doip_power_mode_response_s {
    doip_package_s header;
    uint8_t power_mode;
} doip_power_mode_response_s;

/* Routing activation request (0x0005): 15 bytes, 19 with the OEM-specific field. */
typedef struct doip_routing_activation_request_s {
    doip_package_s header;
    uint16_t source_address;
    uint8_t activation_type;
    uint32_t oem_specific;
    uint8_t has_oem_specific;
} doip_routing_activation_request_s;

/* Routing activation response (0x0006): 17 bytes, 21 with the OEM-specific field. */
typedef struct doip_routing_activation_response_s {
    doip_package_s header;
    uint16_t tester_address;
    uint16_t entity_address;
    uint8_t response_code;
    uint32_t reserved;
    uint32_t oem_specific;
    uint8_t has_oem_specific;
} doip_routing_activation_response_s;

/* Diagnostic message (0x8001); one malloc block with the user data at its end. */
typedef struct doip_diagnostic_request_s {
    doip_package_s header;
    uint16_t source_address;
    uint16_t target_address;
    uint32_t user_data_length;
    uint8_t user_data[];
} doip_diagnostic_request_s;

/* Diagnostic message acknowledgement (0x8002 positive, 0x8003 negative); one malloc block with the
 * echoed bytes at its end. */
typedef struct doip_diagnostic_response_s {
    doip_package_s header;
    uint16_t source_address;
    uint16_t target_address;
    uint8_t ack_code;
    uint32_t previous_message_length;
    uint8_t previous_message[];
} doip_diagnostic_response_s;

/* What doip_get_expalininfo tells about a received message. */
typedef struct explain_info_s {
    doip_package_s header;
    uint16_t sender_address;
} explain_info_s;

/* ---- Generic header and message records ---- */

/* Copies `size` bytes into `msg` (its old buffer released). 0, -29 (null pointer, size <= 0), -34. */
DOIP_API int doip_message_init(doip_message_s* msg, const uint8_t* bytes, int size);
/* Makes `dst` a deep copy of `src` (all five fields). 0, -29 (null or empty source), -34. */
DOIP_API int doip_message_init_bycopy(doip_message_s* dst, const doip_message_s* src);
/* Hands `src`'s buffer and fields to `dst` and empties `src`. 0 or -29. */
DOIP_API int doip_message_move(doip_message_s* dst, doip_message_s* src);
/* Releases the buffer and zeroes the record. 0 or -29. */
DOIP_API int doip_message_destory(doip_message_s* msg);
/* Checks a generic header: -16 (short), -8, -10, -12, -13, -16 (payload length), in this order.
 * `out` is written only on success. */
DOIP_API int doip_deserialize(const unsigned char* bytes, unsigned int count, doip_package_s* out);

/* ---- Vehicle identification, entity status, power mode and alive check payloads ----
 * _init: -2 (null addressing block), -10 (null record); only the addressing block's protocol_version is
 * read. Encoders: -10 (null record), -11 (null output), -4 (capacity too small; nothing written). Decoders
 * return the header check's code unchanged after their own argument checks and leave the record untouched
 * on every failure. No decoder checks the payload type: dispatch on it first (doip_deserialize). */

/* Zero the record and store a header-only request (0x0007, 0x4001, 0x4003; payload length 0). */
DOIP_API int doip_alive_check_request_init(const doip_addressing_s* addressing, doip_package_s* record);
DOIP_API int doip_entity_status_request_init(const doip_addressing_s* addressing, doip_package_s* record);
DOIP_API int doip_power_mode_request_init(const doip_addressing_s* addressing, doip_package_s* record);
/* The three share one header-only encoder: -10, -11, -4 (capacity below 8); writes the header as the
 * record holds it, whatever its type. */
DOIP_API int doip_alive_check_request_serilize(const doip_package_s* record, uint8_t* out, uint32_t capacity);
DOIP_API int doip_entity_status_request_serilize(const doip_package_s* record, uint8_t* out,
                                                 uint32_t capacity);
DOIP_API int doip_power_mode_request_serilize(const doip_package_s* record, uint8_t* out, uint32_t capacity);
/* The three share one header-only decoder: -9 (empty), -8, -10, then the header check; any valid type. */
DOIP_API int doip_alive_check_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                 doip_package_s* record);
DOIP_API int doip_entity_status_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                   doip_package_s* record);
DOIP_API int doip_power_mode_request_deserilize(const uint8_t* bytes, uint32_t count, doip_package_s* record);

/* The vehicle identification request _init functions write only the header and the identifier (6 EID or
 * 17 VIN bytes); the rest of the record is left as it was. A null EID or VIN gives -29 after -2 and -10,
 * with nothing written. */
DOIP_API int doip_vehicle_id_request_init(const doip_addressing_s* addressing,
                                          doip_vehicle_id_request_s* record);
DOIP_API int doip_vehicle_id_eid_request_init(const doip_addressing_s* addressing,
                                              doip_vehicle_id_request_s* record, const uint8_t* eid);
DOIP_API int doip_vehicle_id_vin_request_init(const doip_addressing_s* addressing,
                                              doip_vehicle_id_request_s* record, const uint8_t* vin);
/* -10, -11, -4 when the capacity is below 8 + payload length, or below the 14 (0x0002) or 25 (0x0003)
 * bytes the payload type makes it write. */
DOIP_API int doip_vehicle_id_request_serilize(const doip_vehicle_id_request_s* record, uint8_t* out,
                                              uint32_t capacity);
/* -9 (empty), -8, -10, header check; then -9 when a 0x0002 message has fewer than 14 bytes or a 0x0003
 * message fewer than 25 (the header check alone does not ensure that). */
DOIP_API int doip_vehicle_id_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                doip_vehicle_id_request_s* record);

DOIP_API int doip_alive_check_response_init(const doip_addressing_s* addressing,
                                            doip_alive_check_response_s* record, uint16_t source_address);
/* -10, -11, -4 below 8 + payload length (and never below the 10 bytes it writes). */
DOIP_API int doip_alive_check_response_serilize(const doip_alive_check_response_s* record, uint8_t* out,
                                                uint32_t capacity);
/* -9 (fewer than 10 bytes), -8, -10, header check. */
DOIP_API int doip_alive_check_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                  doip_alive_check_response_s* record);

/* Stores the flag as given; max_data_size only when the flag is non-zero. Payload length 7 with it, else 3.
 */
DOIP_API int doip_entity_status_response_init(const doip_addressing_s* addressing,
                                              doip_entity_status_response_s* record, uint8_t node_type,
                                              uint8_t max_concurrent_sockets, uint8_t open_sockets,
                                              uint8_t has_max_data_size, uint32_t max_data_size);
/* -10, -11, -4 below 8 + payload length (and never below the 11 or 15 bytes it writes). */
DOIP_API int doip_entity_status_response_serilize(const doip_entity_status_response_s* record, uint8_t* out,
                                                  uint32_t capacity);
/* -8, -9 (fewer than 11 bytes), -10, header check. The max data size is read when the payload length is 7. */
DOIP_API int doip_entity_status_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                    doip_entity_status_response_s* record);

DOIP_API int doip_power_mode_response_init(const doip_addressing_s* addressing,
                                           doip_power_mode_response_s* record, uint8_t power_mode);
/* -10, -11, -4 below 8 + payload length (and never below the 9 bytes it writes). */
DOIP_API int doip_power_mode_response_serilize(const doip_power_mode_response_s* record, uint8_t* out,
                                               uint32_t capacity);
/* -8, -9 (fewer than 9 bytes), -10, header check. */
DOIP_API int doip_power_mode_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                 doip_power_mode_response_s* record);

/* A null VIN, EID or GID gives -29 after -2 and -10, with nothing written. Payload length 33 with the sync
 * status, else 32. */
DOIP_API int doip_vehicle_id_response_init(const doip_addressing_s* addressing, vehicle_id_response_s* record,
                                           const uint8_t* vin, uint16_t logical_address, const uint8_t* eid,
                                           const uint8_t* gid, uint8_t further_action,
                                           uint8_t has_sync_status, uint8_t sync_status);
/* -10, -11, -4: needs a capacity of 41 bytes whatever the payload length. */
DOIP_API int doip_vehicle_id_response_serilize(const vehicle_id_response_s* record, uint8_t* out,
                                               uint32_t capacity);
/* -9 unless the count is exactly 40 or 41, -8, -10, header check. A count of 41 means the sync status is
 * present. */
DOIP_API int doip_vehicle_id_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                 vehicle_id_response_s* record);
/* The same decoder under a second name. */
DOIP_API int doip_vid_response(const unsigned char* bytes, unsigned int count, vehicle_id_response_s* record);

/* ---- Routing activation payloads ---- */

/* Zeroes the record; stores the flag as given and the OEM value whatever the flag. Payload length 11 with
 * the flag, else 7. The source address is the argument, not the addressing block's. */
DOIP_API int doip_routing_activation_request_init(const doip_addressing_s* addressing,
                                                  doip_routing_activation_request_s* record,
                                                  uint16_t source_address, uint8_t activation_type,
                                                  uint8_t has_oem_specific, uint32_t oem_specific);
/* -10, -11, -4 below 15 bytes (19 with the OEM field). The reserved bytes are written as zero. */
DOIP_API int doip_routing_activation_request_serilize(const doip_routing_activation_request_s* record,
                                                      uint8_t* out, uint32_t capacity);
/* -9 (empty), -8, -10, header check; then -9 for fewer than 15 bytes. The OEM field is read when the payload
 * length is 11. */
DOIP_API int doip_routing_activation_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                        doip_routing_activation_request_s* record);
/* Zeroes the record; the OEM value is stored only when the flag is non-zero. Payload length 13 or 9. */
DOIP_API int doip_routing_activation_response_init(const doip_addressing_s* addressing,
                                                   doip_routing_activation_response_s* record,
                                                   uint16_t tester_address, uint16_t entity_address,
                                                   uint8_t response_code, uint8_t has_oem_specific,
                                                   uint32_t oem_specific);
/* -10, -11, -4 below 8 + payload length (and never below the 17 or 21 bytes it writes). `reserved` is
 * not sent: the reserved bytes are written as zero. */
DOIP_API int doip_routing_activation_response_serilize(const doip_routing_activation_response_s* record,
                                                       uint8_t* out, uint32_t capacity);
/* -8, -9 (fewer than 17 bytes), -10, header check. The OEM field is read when the payload length is 13. */
DOIP_API int doip_routing_activation_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                         doip_routing_activation_response_s* record);

/* ---- Diagnostic message payloads ---- */

/* A zero-filled request record with room for `user_data_size` bytes, or NULL (no memory, or a size whose
 * block would not fit into size_t). Release it with doip_diag_msg_request_free. */
DOIP_API doip_diagnostic_request_s* doip_diag_msg_request_create(uint32_t user_data_size);
/* -2, -10, then -29 for null user data with a non-zero size. Writes the header (payload length n + 4) and
 * the addressing block's source and target; the data and user_data_length only when n is non-zero. The
 * record must have room for n bytes. */
DOIP_API int doip_diag_msg_request_init(const doip_addressing_s* addressing,
                                        doip_diagnostic_request_s* record, const uint8_t* user_data,
                                        uint32_t user_data_size);
/* -10, -11, -4 below 8 + payload length (and never below the 12 + user_data_length bytes it writes). */
DOIP_API int doip_diag_msg_request_serilize(const doip_diagnostic_request_s* record, uint8_t* out,
                                            uint32_t capacity);
/* -9 (empty), -8, -10, header check; then -9 for fewer than 12 bytes, nothing written. Every byte after
 * byte 12, up to `count`, becomes user data; an empty rest leaves user_data_length as it was. `record` must
 * have room for count - 12 bytes of user data. */
DOIP_API int doip_diag_msg_request_deserilize(const uint8_t* bytes, uint32_t count,
                                              doip_diagnostic_request_s* record);
/* Releases a record from doip_diag_msg_request_create or doip_diag_request_parse; NULL is fine. */
DOIP_API void doip_diag_msg_request_free(doip_diagnostic_request_s* record);

/* A zero-filled acknowledgement record with room for `previous_message_size` echoed bytes, or NULL. */
DOIP_API doip_diagnostic_response_s* doip_diag_msg_response_create(uint32_t previous_message_size);
/* Positive (0x8002) and negative (0x8003) acknowledgement: -2, -10, then -29 for null echoed bytes with a
 * non-zero size. Payload length n + 5; the bytes and previous_message_length only when n is non-zero. */
DOIP_API int doip_diag_msg_ack_response_init(const doip_addressing_s* addressing,
                                             doip_diagnostic_response_s* record, uint8_t ack_code,
                                             const uint8_t* previous_message, uint32_t previous_message_size);
DOIP_API int doip_diag_msg_nack_response_init(const doip_addressing_s* addressing,
                                              doip_diagnostic_response_s* record, uint8_t nack_code,
                                              const uint8_t* previous_message,
                                              uint32_t previous_message_size);
/* -10, -11, -4 below 13 + previous_message_length (the echoed length, not the header's payload length). */
DOIP_API int doip_diag_msg_response_serilize(const doip_diagnostic_response_s* record, uint8_t* out,
                                             uint32_t capacity);
/* -9 (empty), -8, -10, header check; then -9 for fewer than 13 bytes, nothing written. Accepts 0x8002 and
 * 0x8003 alike. Every byte after byte 13, up to `count`, is echoed data; `record` must have room for
 * count - 13 bytes. */
DOIP_API int doip_diag_msg_response_deserilize(const uint8_t* bytes, uint32_t count,
                                               doip_diagnostic_response_s* record);
/* Releases an acknowledgement record; NULL is fine. Returns 0. */
DOIP_API int doip_diag_msg_response_free(doip_diagnostic_response_s* record);
/* The same release function under a second name. */
DOIP_API int doip_free_diag_response(doip_diagnostic_response_s* record);

/* Allocating parsers: a null `out` gives -10 and allocates nothing. Otherwise `*out` receives a new
 * zero-filled record (or NULL) before any check, and the caller releases it whatever the result. Then
 * -9 (empty), -8, -10 (no memory), the header check, and -9 for fewer than 12 (request) or 13
 * (acknowledgement) bytes. */
DOIP_API int doip_diag_request_parse(const unsigned char* bytes, unsigned int count,
                                     doip_diagnostic_request_s** out);
DOIP_API int doip_diag_response(doip_s* unused, const unsigned char* bytes, unsigned int count,
                                doip_diagnostic_response_s** out);
/* Classifies a received message: the header and the sender of a diagnostic message or acknowledgement
 * (bytes 8-9), or of a routing activation response (the entity, bytes 10-11); only the payload type for
 * any other type. Null bytes, a failing header check, or a diagnostic message shorter than 12 bytes, an
 * acknowledgement shorter than 13 or a routing activation response shorter than 12 give the all-zero
 * result. Allocates nothing. */
DOIP_API explain_info_s doip_get_expalininfo(const unsigned char* bytes, unsigned int count);
/* Strips the first 12 bytes of a diagnostic message or 13 of an acknowledgement in place: the bytes move to
 * the front and `length` shrinks, the buffer keeps its size. Any other type, a failing header check or a
 * message shorter than the bytes to strip is left unchanged. 0, or -29 for a null message. */
DOIP_API int doip_remove_header(doip_message_s* msg);

/* ---- Client context, hooks and logging ---- */

/* Zeroes the context and stores the defaults; the first call also starts the protocol timer loop.
 * A null context does nothing. Returns 0. */
DOIP_API int doip_init(doip_s* ctx);
/* Calls the socket-close function, when set, with `channel` and `ctx`. Returns 0. */
DOIP_API int doip_uninitialize(uint8_t channel, doip_s* ctx);
/* Replaces the process-wide socket table. Returns 0. */
DOIP_API int doip_set_socket_ops(doip_socket_ops_s ops);
/* Takes the table by value and gives nothing back (kept for compatibility). Returns 0. */
DOIP_API int doip_get_socket_ops(doip_socket_ops_s ops);
/* Sets the process-wide logger hook; NULL switches logging off. Returns 0. */
DOIP_API int doip_set_logger_ops(doip_logger_fn logger);

/* ---- Connection state registry ---- */

DOIP_API int set_doip_state(const doip_s* ctx, int state);
/* Writes 1 (DOIP_STATE_NONE) to *state, then the stored state if the connection has an entry. */
DOIP_API int get_doip_state(const doip_s* ctx, int* state);
DOIP_API int delete_doip_state(const doip_s* ctx);
DOIP_API int reset_doip_state(void);

/* ---- Routing activation ---- */

DOIP_API int doip_activate(uint8_t channel, doip_s* ctx);
DOIP_API int doip_activate_request(const doip_s* ctx, uint8_t* out, uint32_t capacity);
DOIP_API int doip_activate_response(const doip_s* ctx, const uint8_t* bytes, uint32_t count);

/* ---- Message reception and cache ---- */

DOIP_API int doip_append_eth_message(const doip_message_s* msg);
DOIP_API int doip_get_message(doip_message_s* out, int* unused);
DOIP_API int doip_clear_message(uint8_t channel);
DOIP_API int doip_msg_cache_count(uint8_t channel);
DOIP_API int doip_wait_message(int listener_id, const doip_s* ctx, doip_message_s* pattern);

/* ---- Protocol timers ----
 * The four start functions arm a one-shot timer of `delay_ms` milliseconds on the library's timer thread
 * ("doip_timer_event_loop") and remember it under the context's connection key; at expiry `callback(arg)`
 * runs once on that thread. They return 0; -29 for a null context or callback; -1 after
 * doip_stop_timer_loop. Called before any doip_init, they start the timer thread themselves.
 * delete_timer cancels and forgets the oldest timer of `kind` started for the connection (0 always). */

DOIP_API int start_timer_a_doip_ctrl(const doip_s* ctx, double delay_ms, doip_timer_callback_fn callback,
                                     void* arg);
DOIP_API int start_timer_a_tcp_general_inactivity(const doip_s* ctx, double delay_ms,
                                                  doip_timer_callback_fn callback, void* arg);
DOIP_API int start_timer_a_tcp_initial_inactivity(const doip_s* ctx, double delay_ms,
                                                  doip_timer_callback_fn callback, void* arg);
DOIP_API int start_timer_a_doip_diagmsg(const doip_s* ctx, double delay_ms, doip_timer_callback_fn callback,
                                        void* arg);
DOIP_API int delete_timer(const doip_s* ctx, int kind);

/* Stops the timer thread and joins it; pending timers are dropped without running. Afterwards timers can
 * no longer be started (-1). Returns 0. Must not be called from a timer callback.
 *
 * Call it once before unloading the library explicitly while the process goes on (FreeLibrary, dlclose).
 * On Windows the unload runs under the loader lock, and no thread can end while that lock is held, so the
 * unload itself cannot join the timer thread. Without this call, FreeLibrary asks the timer loop to end,
 * waits up to 2 s for it (a timer callback still running delays that), gives the thread 200 ms more to
 * leave the library's code, and unloads without joining it; a timer callback that has not returned by
 * then returns into the unloaded library and crashes the process. At process exit none of this applies:
 * Windows has already ended the thread, and the library leaves its objects alone. With dlclose (Linux)
 * the unload joins the thread itself. */
DOIP_API int doip_stop_timer_loop(void);

/* ---- Vehicle discovery and diagnostic requests ----
 * Build a whole message from the context's source_address, target_address and protocol_version into `out`.
 * Checks in order: -9 for a null context (before anything else); -29 for a null EID, VIN or (with a
 * non-zero count) UDS pointer, buffer untouched; doip_diag_request only: -1 when its working record cannot
 * be allocated; -11 for a null output, buffer untouched; then the whole capacity is zeroed and -4 is
 * returned when the message does not fit. Bytes past the message stay zero. */

/* 0x0001, 8 bytes. */
DOIP_API int doip_vid_request(const doip_s* ctx, unsigned char* out, unsigned int capacity);
/* 0x0002, 14 bytes: exactly 6 bytes are read from `eid`; `count` is not used. */
DOIP_API int doip_vid_eid_request(const doip_s* ctx, const unsigned char* eid, unsigned int count,
                                  unsigned char* out, unsigned int capacity);
/* 0x0003, 25 bytes: exactly 17 bytes are read from `vin` (no terminating NUL needed); `count` is not used. */
DOIP_API int doip_vid_vin_request(const doip_s* ctx, const char* vin, unsigned int count, unsigned char* out,
                                  unsigned int capacity);
/* 0x8001, 12 + count bytes; `count` may be 0. */
DOIP_API int doip_diag_request(const doip_s* ctx, const unsigned char* uds, unsigned int count,
                               unsigned char* out, unsigned int capacity);

/* ---- Target list and error texts ---- */

DOIP_API int get_doip_targets(eth_config_s* targets, int* count);
/* Writes the text of `code` into buf (capacity *len, NUL included), cut byte-wise; *len receives the
 * bytes written without the NUL. 0, or -1 for a null buf/len or a capacity not above 0. */
DOIP_API int get_doip_err_str(int code, char* buf, int* len);

#ifdef __cplusplus
} /* extern "C" */

/* A doip_message_s that owns its buffer; same layout as doip_message_s. */
class DOIP_API doip_message_raii {
  public:
    uint8_t channel;
    uint32_t length;
    uint32_t aux1;
    uint32_t aux2;
    uint8_t* data;

    doip_message_raii();
    /* Deep copy of a non-empty source; stays empty for null/empty sources or when allocation fails. */
    explicit doip_message_raii(const doip_message_s* src);
    doip_message_raii(const doip_message_raii& other);
    /* A deep copy as well: the source is left unchanged. */
    doip_message_raii(doip_message_raii&& other) noexcept;
    /* Self-assignment or an empty source changes nothing; otherwise a deep copy. */
    doip_message_raii& operator=(const doip_message_raii& other);
    doip_message_raii& operator=(doip_message_raii&& other) noexcept;
    ~doip_message_raii();

    doip_message_s* get() { return reinterpret_cast<doip_message_s*>(this); }
    const doip_message_s* get() const { return reinterpret_cast<const doip_message_s*>(this); }
};
#endif

#endif /* DOIP_H */
