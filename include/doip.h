/* DoIP (ISO 13400-2) client library: records, result codes, payload codecs and the client API.
 *
 * Conventions used throughout this header:
 * - Every function returns an int result code: DOIP_OK (0) on success, a negative DOIP_ERR_* code on a
 *   failure the library detects, or a DOIP_RA_* code for a routing activation the entity refused. Each
 *   comment lists the codes in the order the checks run; the first failing check decides.
 * - Numbers are in host byte order in every record and big-endian on the wire.
 * - Records that receive a message buffer must be all zero or hold a buffer the library allocated
 *   (the library releases the old buffer with free() before storing a new one). The caller owns every
 *   record and buffer it passes, and every record or buffer the library hands out.
 * - No function reads or writes outside the byte count or capacity it is given.
 * - Every function runs on the calling thread and may be called from any thread: the codecs keep no
 *   state, and the client's process-wide state (hooks, registries, cache, timers) is locked, never while
 *   an application callback runs. A function returns without waiting unless its comment says otherwise.
 */
#ifndef DOIP_H
#define DOIP_H

#include <stddef.h>
#include <stdint.h>

#include "doip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
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
    DOIP_ERR_INVALID_ARGUMENT = -29,     /* a required pointer is null, a message record has no data, an
                                            address text forms no connection key, or a delay is NaN */
    DOIP_ERR_NO_MESSAGE = -31,           /* the listener's queue in the message cache is empty */
    DOIP_ERR_NO_MEMORY = -34             /* the data buffer of a message record cannot be allocated */
};

/* Routing activation results: 0x1001 + response code 0x00..0x07, then 0x10 and 0x11. */
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

/* Payload types accepted by the header check (plus 0xF000..0xFFFF, manufacturer-specific). */
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

/* Connection states kept in the connection state registry. */
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

/* Protocol timer kinds. */
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

/* A protocol timer callback; runs on the library's timer thread. An exception it throws (C++) is caught
 * there and logged; the other timers go on. */
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

/* Generic header and message records. */

/* Copies `size` bytes into a new buffer of `msg`, freeing its old one; channel, aux1 and aux2 stay.
 * DOIP_ERR_INVALID_ARGUMENT (null msg or bytes, size <= 0; nothing changed), DOIP_ERR_NO_MEMORY (msg is
 * left without a buffer). The caller releases the record with doip_message_destory. */
DOIP_API int doip_message_init(doip_message_s* msg, const uint8_t* bytes, int size);
/* Makes `dst` a deep copy of `src`: a new buffer and all four other fields (dst's old buffer freed).
 * DOIP_ERR_INVALID_ARGUMENT (a null pointer, or src without data or of length 0; nothing changed),
 * DOIP_ERR_NO_MEMORY (dst left without a buffer). A copy onto itself returns DOIP_OK and changes nothing. */
DOIP_API int doip_message_init_bycopy(doip_message_s* dst, const doip_message_s* src);
/* Frees dst's buffer, hands src's buffer and fields to `dst` and zeroes `src`, so moving a record onto
 * itself leaves it empty. DOIP_ERR_INVALID_ARGUMENT for a null pointer. */
DOIP_API int doip_message_move(doip_message_s* dst, doip_message_s* src);
/* Frees the buffer and zeroes all five fields. DOIP_ERR_INVALID_ARGUMENT for a null record. */
DOIP_API int doip_message_destory(doip_message_s* msg);
/* The header check that every decoder runs first: DOIP_ERR_INCOMPLETE_MESSAGE (fewer than 8 bytes),
 * DOIP_ERR_NULL_INPUT, DOIP_ERR_NULL_RECORD, DOIP_ERR_BAD_PROTOCOL_VERSION (inverse is not ~version),
 * DOIP_ERR_UNKNOWN_PAYLOAD_TYPE, DOIP_ERR_INCOMPLETE_MESSAGE (payload length above count - 8). Bytes past
 * 8 + payload length are ignored; `out` is written only on success. */
DOIP_API int doip_deserialize(const unsigned char* bytes, unsigned int count, doip_package_s* out);

/* Vehicle identification, entity status, power mode and alive check payloads.
 * For the payload codecs of this and the two groups below: they keep no state; _init functions read the
 * addressing block's protocol_version (the diagnostic ones also its source and target address); a decoder
 * writes its record only on success and does not check the payload type, so dispatch on it first
 * (doip_deserialize). "Header check" means the codes of doip_deserialize, passed on unchanged. */

/* Stores a header-only alive check request (0x0007, payload length 0) in `record`.
 * DOIP_ERR_NULL_ADDRESSING, DOIP_ERR_NULL_RECORD. */
DOIP_API int doip_alive_check_request_init(const doip_addressing_s* addressing, doip_package_s* record);
/* As doip_alive_check_request_init, for the entity status request (0x4001). */
DOIP_API int doip_entity_status_request_init(const doip_addressing_s* addressing, doip_package_s* record);
/* As doip_alive_check_request_init, for the power mode information request (0x4003). */
DOIP_API int doip_power_mode_request_init(const doip_addressing_s* addressing, doip_package_s* record);
/* The header-only encoder (the three names share it): DOIP_ERR_NULL_RECORD, DOIP_ERR_NULL_OUTPUT,
 * DOIP_ERR_BUFFER_TOO_SMALL (capacity below 8). Writes the 8 header bytes as the record holds them,
 * whatever its type. */
DOIP_API int doip_alive_check_request_serilize(const doip_package_s* record, uint8_t* out, uint32_t capacity);
/* The header-only encoder under its entity status name. */
DOIP_API int doip_entity_status_request_serilize(const doip_package_s* record, uint8_t* out,
                                                 uint32_t capacity);
/* The header-only encoder under its power mode name. */
DOIP_API int doip_power_mode_request_serilize(const doip_package_s* record, uint8_t* out, uint32_t capacity);
/* The header-only decoder (the three names share it): DOIP_ERR_INPUT_TOO_SHORT (count 0),
 * DOIP_ERR_NULL_INPUT, DOIP_ERR_NULL_RECORD, then the header check; a valid header of any type passes. */
DOIP_API int doip_alive_check_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                 doip_package_s* record);
/* The header-only decoder under its entity status name. */
DOIP_API int doip_entity_status_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                   doip_package_s* record);
/* The header-only decoder under its power mode name. */
DOIP_API int doip_power_mode_request_deserilize(const uint8_t* bytes, uint32_t count, doip_package_s* record);

/* Writes the header of a plain vehicle identification request (0x0001, payload length 0); the rest of
 * the record is left as it was. DOIP_ERR_NULL_ADDRESSING, DOIP_ERR_NULL_RECORD. */
DOIP_API int doip_vehicle_id_request_init(const doip_addressing_s* addressing,
                                          doip_vehicle_id_request_s* record);
/* Writes the header (0x0002, payload length 6) and the 6 bytes at `eid`; the rest stays as it was.
 * DOIP_ERR_NULL_ADDRESSING, DOIP_ERR_NULL_RECORD, DOIP_ERR_INVALID_ARGUMENT (null eid; nothing written). */
DOIP_API int doip_vehicle_id_eid_request_init(const doip_addressing_s* addressing,
                                              doip_vehicle_id_request_s* record, const uint8_t* eid);
/* Writes the header (0x0003, payload length 17) and the 17 bytes at `vin` (no NUL needed); the rest
 * stays. DOIP_ERR_NULL_ADDRESSING, DOIP_ERR_NULL_RECORD, DOIP_ERR_INVALID_ARGUMENT (null vin). */
DOIP_API int doip_vehicle_id_vin_request_init(const doip_addressing_s* addressing,
                                              doip_vehicle_id_request_s* record, const uint8_t* vin);
/* Writes the header, then the EID (0x0002) or the VIN (0x0003) as the header's payload type says.
 * DOIP_ERR_NULL_RECORD, DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL when the capacity is below
 * 8 + payload length or below the 8, 14 or 25 bytes the type makes it write. */
DOIP_API int doip_vehicle_id_request_serilize(const doip_vehicle_id_request_s* record, uint8_t* out,
                                              uint32_t capacity);
/* DOIP_ERR_INPUT_TOO_SHORT (count 0), DOIP_ERR_NULL_INPUT, DOIP_ERR_NULL_RECORD, header check, then
 * DOIP_ERR_INPUT_TOO_SHORT when a 0x0002 message has fewer than 14 bytes or a 0x0003 message fewer than
 * 25 (the header check alone does not ensure that). Reads the EID or VIN by payload type. */
DOIP_API int doip_vehicle_id_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                doip_vehicle_id_request_s* record);

/* Zeroes the record and stores an alive check response (0x0008, payload length 2) with `source_address`.
 * DOIP_ERR_NULL_ADDRESSING, DOIP_ERR_NULL_RECORD. */
DOIP_API int doip_alive_check_response_init(const doip_addressing_s* addressing,
                                            doip_alive_check_response_s* record, uint16_t source_address);
/* DOIP_ERR_NULL_RECORD, DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL below 8 + payload length or
 * below the 10 bytes it writes. */
DOIP_API int doip_alive_check_response_serilize(const doip_alive_check_response_s* record, uint8_t* out,
                                                uint32_t capacity);
/* DOIP_ERR_INPUT_TOO_SHORT (fewer than 10 bytes), DOIP_ERR_NULL_INPUT, DOIP_ERR_NULL_RECORD, header
 * check. */
DOIP_API int doip_alive_check_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                  doip_alive_check_response_s* record);

/* Zeroes the record and stores an entity status response (0x4002): payload length 7 with the flag, else
 * 3; the flag as given, max_data_size only when it is non-zero. DOIP_ERR_NULL_ADDRESSING,
 * DOIP_ERR_NULL_RECORD. */
DOIP_API int doip_entity_status_response_init(const doip_addressing_s* addressing,
                                              doip_entity_status_response_s* record, uint8_t node_type,
                                              uint8_t max_concurrent_sockets, uint8_t open_sockets,
                                              uint8_t has_max_data_size, uint32_t max_data_size);
/* DOIP_ERR_NULL_RECORD, DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL below 8 + payload length or
 * below the 11 bytes it writes (15 with has_max_data_size). */
DOIP_API int doip_entity_status_response_serilize(const doip_entity_status_response_s* record, uint8_t* out,
                                                  uint32_t capacity);
/* DOIP_ERR_NULL_INPUT, DOIP_ERR_INPUT_TOO_SHORT (fewer than 11 bytes), DOIP_ERR_NULL_RECORD, header
 * check. The max data size is read when the payload length is 7; otherwise it and the flag are 0. */
DOIP_API int doip_entity_status_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                    doip_entity_status_response_s* record);

/* Zeroes the record and stores a power mode response (0x4004, payload length 1).
 * DOIP_ERR_NULL_ADDRESSING, DOIP_ERR_NULL_RECORD. */
DOIP_API int doip_power_mode_response_init(const doip_addressing_s* addressing,
                                           doip_power_mode_response_s* record, uint8_t power_mode);
/* DOIP_ERR_NULL_RECORD, DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL below 8 + payload length or
 * below the 9 bytes it writes. */
DOIP_API int doip_power_mode_response_serilize(const doip_power_mode_response_s* record, uint8_t* out,
                                               uint32_t capacity);
/* DOIP_ERR_NULL_INPUT, DOIP_ERR_INPUT_TOO_SHORT (fewer than 9 bytes), DOIP_ERR_NULL_RECORD, header check. */
DOIP_API int doip_power_mode_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                 doip_power_mode_response_s* record);

/* Zeroes the record and stores a vehicle identification response (0x0004): payload length 33 with the
 * sync status, else 32; reads 17 VIN, 6 EID and 6 GID bytes. DOIP_ERR_NULL_ADDRESSING,
 * DOIP_ERR_NULL_RECORD, DOIP_ERR_INVALID_ARGUMENT (null vin, eid or gid; nothing written). */
DOIP_API int doip_vehicle_id_response_init(const doip_addressing_s* addressing, vehicle_id_response_s* record,
                                           const uint8_t* vin, uint16_t logical_address, const uint8_t* eid,
                                           const uint8_t* gid, uint8_t further_action,
                                           uint8_t has_sync_status, uint8_t sync_status);
/* DOIP_ERR_NULL_RECORD, DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL below 41 bytes whatever the
 * payload length. Writes 40 bytes, 41 with has_sync_status (byte 40 is not touched otherwise). */
DOIP_API int doip_vehicle_id_response_serilize(const vehicle_id_response_s* record, uint8_t* out,
                                               uint32_t capacity);
/* DOIP_ERR_INPUT_TOO_SHORT unless the count is exactly 40 or 41, DOIP_ERR_NULL_INPUT,
 * DOIP_ERR_NULL_RECORD, header check. The count, not the header, tells the sync status is there (41). */
DOIP_API int doip_vehicle_id_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                 vehicle_id_response_s* record);
/* doip_vehicle_id_response_deserilize under a second name. */
DOIP_API int doip_vid_response(const unsigned char* bytes, unsigned int count, vehicle_id_response_s* record);

/* Routing activation payloads. */

/* Zeroes the record; stores the flag as given and the OEM value whatever the flag. Payload length 11 with
 * the flag, else 7. The source address is the argument, not the addressing block's.
 * DOIP_ERR_NULL_ADDRESSING, DOIP_ERR_NULL_RECORD. */
DOIP_API int doip_routing_activation_request_init(const doip_addressing_s* addressing,
                                                  doip_routing_activation_request_s* record,
                                                  uint16_t source_address, uint8_t activation_type,
                                                  uint8_t has_oem_specific, uint32_t oem_specific);
/* DOIP_ERR_NULL_RECORD, DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL below 15 bytes (19 with
 * has_oem_specific: the flag, not the header, decides). The reserved bytes are written as zero. */
DOIP_API int doip_routing_activation_request_serilize(const doip_routing_activation_request_s* record,
                                                      uint8_t* out, uint32_t capacity);
/* DOIP_ERR_INPUT_TOO_SHORT (count 0), DOIP_ERR_NULL_INPUT, DOIP_ERR_NULL_RECORD, header check, then
 * DOIP_ERR_INPUT_TOO_SHORT for fewer than 15 bytes. The OEM field is read when the payload length is 11;
 * otherwise it and the flag are 0. */
DOIP_API int doip_routing_activation_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                        doip_routing_activation_request_s* record);
/* Zeroes the record; the OEM value is stored only when the flag is non-zero. Payload length 13 or 9;
 * `reserved` stays 0. DOIP_ERR_NULL_ADDRESSING, DOIP_ERR_NULL_RECORD. */
DOIP_API int doip_routing_activation_response_init(const doip_addressing_s* addressing,
                                                   doip_routing_activation_response_s* record,
                                                   uint16_t tester_address, uint16_t entity_address,
                                                   uint8_t response_code, uint8_t has_oem_specific,
                                                   uint32_t oem_specific);
/* DOIP_ERR_NULL_RECORD, DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL below 8 + payload length or below
 * the 17 bytes it writes (21 with has_oem_specific). `reserved` is not sent: those bytes go out as zero. */
DOIP_API int doip_routing_activation_response_serilize(const doip_routing_activation_response_s* record,
                                                       uint8_t* out, uint32_t capacity);
/* DOIP_ERR_NULL_INPUT, DOIP_ERR_INPUT_TOO_SHORT (fewer than 17 bytes), DOIP_ERR_NULL_RECORD, header
 * check. The reserved bytes go to `reserved`; the OEM field is read when the payload length is 13. */
DOIP_API int doip_routing_activation_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                         doip_routing_activation_response_s* record);

/* Diagnostic message payloads. */

/* A zero-filled request record with room for `user_data_size` bytes, or NULL (no memory, or a size whose
 * block would not fit into size_t). The caller releases it with doip_diag_msg_request_free. */
DOIP_API doip_diagnostic_request_s* doip_diag_msg_request_create(uint32_t user_data_size);
/* Writes the header (0x8001, payload length n + 4) and the addressing block's source and target; the data
 * and user_data_length only when n is non-zero, and clears nothing else (start from a _create record).
 * DOIP_ERR_NULL_ADDRESSING, DOIP_ERR_NULL_RECORD, DOIP_ERR_INVALID_ARGUMENT (null user data with n > 0;
 * nothing written). The record must have room for n bytes. */
DOIP_API int doip_diag_msg_request_init(const doip_addressing_s* addressing,
                                        doip_diagnostic_request_s* record, const uint8_t* user_data,
                                        uint32_t user_data_size);
/* DOIP_ERR_NULL_RECORD, DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL below 8 + payload length or below
 * the 12 + user_data_length bytes it writes. */
DOIP_API int doip_diag_msg_request_serilize(const doip_diagnostic_request_s* record, uint8_t* out,
                                            uint32_t capacity);
/* DOIP_ERR_INPUT_TOO_SHORT (count 0), DOIP_ERR_NULL_INPUT, DOIP_ERR_NULL_RECORD, header check, then
 * DOIP_ERR_INPUT_TOO_SHORT for fewer than 12 bytes. Every byte after byte 12, up to `count` (not the
 * payload length), becomes user data; an empty rest leaves user_data_length as it was. `record` must have
 * room for count - 12 bytes of user data. */
DOIP_API int doip_diag_msg_request_deserilize(const uint8_t* bytes, uint32_t count,
                                              doip_diagnostic_request_s* record);
/* Releases a record from doip_diag_msg_request_create or doip_diag_request_parse; NULL is fine. */
DOIP_API void doip_diag_msg_request_free(doip_diagnostic_request_s* record);

/* A zero-filled acknowledgement record with room for `previous_message_size` echoed bytes, or NULL (as
 * doip_diag_msg_request_create). The caller releases it with doip_diag_msg_response_free. */
DOIP_API doip_diagnostic_response_s* doip_diag_msg_response_create(uint32_t previous_message_size);
/* Positive acknowledgement (0x8002, payload length n + 5): the addressing block's source and target and
 * the code; the echoed bytes and previous_message_length only when n is non-zero. DOIP_ERR_NULL_ADDRESSING,
 * DOIP_ERR_NULL_RECORD, DOIP_ERR_INVALID_ARGUMENT (null echoed bytes with n > 0). Needs room for n bytes. */
DOIP_API int doip_diag_msg_ack_response_init(const doip_addressing_s* addressing,
                                             doip_diagnostic_response_s* record, uint8_t ack_code,
                                             const uint8_t* previous_message, uint32_t previous_message_size);
/* As doip_diag_msg_ack_response_init, for the negative acknowledgement (0x8003). */
DOIP_API int doip_diag_msg_nack_response_init(const doip_addressing_s* addressing,
                                              doip_diagnostic_response_s* record, uint8_t nack_code,
                                              const uint8_t* previous_message,
                                              uint32_t previous_message_size);
/* DOIP_ERR_NULL_RECORD, DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL below 13 +
 * previous_message_length (the echoed length, not the header's payload length). */
DOIP_API int doip_diag_msg_response_serilize(const doip_diagnostic_response_s* record, uint8_t* out,
                                             uint32_t capacity);
/* DOIP_ERR_INPUT_TOO_SHORT (count 0), DOIP_ERR_NULL_INPUT, DOIP_ERR_NULL_RECORD, header check, then
 * DOIP_ERR_INPUT_TOO_SHORT for fewer than 13 bytes. Accepts 0x8002 and 0x8003 alike. Every byte after byte
 * 13, up to `count`, is echoed data (an empty rest leaves previous_message_length as it was); `record`
 * must have room for count - 13 bytes. */
DOIP_API int doip_diag_msg_response_deserilize(const uint8_t* bytes, uint32_t count,
                                               doip_diagnostic_response_s* record);
/* Releases an acknowledgement record; NULL is fine. Returns DOIP_OK. */
DOIP_API int doip_diag_msg_response_free(doip_diagnostic_response_s* record);
/* doip_diag_msg_response_free under a second name. */
DOIP_API int doip_free_diag_response(doip_diagnostic_response_s* record);

/* Allocating parser of a diagnostic message. A null `out` gives DOIP_ERR_NULL_RECORD and allocates
 * nothing. Otherwise `*out` receives a new zero-filled record with room for count - 12 bytes (or NULL)
 * before any check, and the caller releases it with doip_diag_msg_request_free whatever the result. Then
 * DOIP_ERR_INPUT_TOO_SHORT (count 0), DOIP_ERR_NULL_INPUT, DOIP_ERR_NULL_RECORD (no memory), header
 * check, DOIP_ERR_INPUT_TOO_SHORT for fewer than 12 bytes. */
DOIP_API int doip_diag_request_parse(const unsigned char* bytes, unsigned int count,
                                     doip_diagnostic_request_s** out);
/* As doip_diag_request_parse, for an acknowledgement: room for count - 13 echoed bytes, and
 * DOIP_ERR_INPUT_TOO_SHORT below 13 bytes; release with doip_free_diag_response. `unused` is not read. */
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
 * message shorter than the bytes to strip is left unchanged. DOIP_ERR_INVALID_ARGUMENT for a null message,
 * else DOIP_OK. */
DOIP_API int doip_remove_header(doip_message_s* msg);

/* Client context, hooks and logging. */

/* Zeroes the context and stores the defaults shown in doip_s. The first call in the process also starts
 * the protocol timer thread and returns once it runs, or once it failed to start (then the next call tries
 * again); after doip_stop_timer_loop no call restarts it. A null context does nothing. Returns DOIP_OK. */
DOIP_API int doip_init(doip_s* ctx);
/* Calls the socket table's close function, when set, with `channel` and `ctx` on this thread, and returns
 * DOIP_OK whatever it returns. The connection's registry entry, cached messages and timers stay: see
 * delete_doip_state, doip_clear_message and delete_timer. */
DOIP_API int doip_uninitialize(uint8_t channel, doip_s* ctx);
/* Copies `ops` into the process-wide socket table. The library calls doip_socket_open and
 * doip_socket_send from doip_activate and doip_socket_close from doip_uninitialize, on the calling thread;
 * a non-zero result of open or send is passed on unchanged. Once open returns 0 the application hands
 * every message received on the connection to doip_append_eth_message from its own thread. An activation
 * under way keeps the table it started with. Returns DOIP_OK. */
DOIP_API int doip_set_socket_ops(doip_socket_ops_s ops);
/* Takes the table by value and gives nothing back (kept for compatibility). Returns DOIP_OK. */
DOIP_API int doip_get_socket_ops(doip_socket_ops_s ops);
/* Sets the process-wide logger hook; NULL switches logging off. doip_activate logs on the thread that calls
 * it, and the timer thread logs a timer callback that threw an exception: level 2, at most 1023 bytes of
 * UTF-8, the text valid only during the call. Returns DOIP_OK. */
DOIP_API int doip_set_logger_ops(doip_logger_fn logger);

/* Connection state registry: one entry per connection key "local_ip:local_port,remote_ip:remote_port"
 * (at most 43 characters), so contexts with equal addresses and ports share an entry. doip_activate keeps
 * it up to date; the application may read and change it. Only address texts that are empty or a dotted
 * IPv4 address (four decimal numbers 0..255 of one to three digits, separated by '.') with their NUL
 * inside the 66-byte field form a key: every function that needs the key of a context with any other
 * local or remote address text returns DOIP_ERR_INVALID_ARGUMENT, stores nothing and does nothing else
 * (no cutting, so two different connections never share an entry). */

/* Stores `state` for the context's connection; any int is kept, the library only tests for
 * DOIP_STATE_ACTIVATED. A null context does nothing and returns DOIP_OK; address texts that form no key
 * give DOIP_ERR_INVALID_ARGUMENT (nothing stored). Otherwise returns DOIP_OK. */
DOIP_API int set_doip_state(const doip_s* ctx, int state);
/* Writes DOIP_STATE_NONE to *state, then the stored state if the connection has an entry. A null state
 * does nothing; a null context reports DOIP_STATE_NONE; both return DOIP_OK. Address texts that form no
 * key report DOIP_STATE_NONE and give DOIP_ERR_INVALID_ARGUMENT. Otherwise returns DOIP_OK. */
DOIP_API int get_doip_state(const doip_s* ctx, int* state);
/* Forgets the connection's entry, if any, so that the next doip_activate connects again instead of
 * returning DOIP_OK at once. A null context does nothing. Address texts that form no key give
 * DOIP_ERR_INVALID_ARGUMENT; otherwise returns DOIP_OK. */
DOIP_API int delete_doip_state(const doip_s* ctx);
/* Forgets every entry. Returns DOIP_OK. */
DOIP_API int reset_doip_state(void);

/* Routing activation. */

/* Activates routing on the context's connection. First sets local_port: the port of a registry key with
 * the same local address, remote address and remote port, else a random port 10000..19999 from the
 * library's own generator (logged). Then, in order: DOIP_OK at once when the connection's state is
 * DOIP_STATE_ACTIVATED; DOIP_ERR_NO_SOCKET_OPEN without an open function; open's non-zero result; state
 * DOIP_STATE_PENDING; DOIP_ERR_NO_SOCKET_OPEN without a send function; send's non-zero result;
 * DOIP_ERR_NO_MEMORY (no room for the reply pattern); DOIP_ERR_TIMEOUT when no reply (channel 0, starting
 * version, ~version, 00 06) is appended within t_tcp_initial_inactivity_ms; the codes of
 * doip_activate_response; else state DOIP_STATE_ACTIVATED and DOIP_OK. A null context, or address texts
 * that form no key (see the state registry), give DOIP_ERR_INVALID_ARGUMENT before anything else (local_port
 * unchanged, no socket function called). Blocks for the socket functions and the wait; the hooks run on this
 * thread. A failure leaves the connection open: doip_uninitialize closes it. */
DOIP_API int doip_activate(uint8_t channel, doip_s* ctx);
/* Writes the context's routing activation request (15 bytes, 19 with oem_specific_present) after zeroing
 * the whole capacity. DOIP_ERR_INVALID_ARGUMENT (null context, or address texts that form no key; nothing
 * written or stored), DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL; on these last two and on success the
 * context's state becomes DOIP_STATE_PENDING. */
DOIP_API int doip_activate_request(const doip_s* ctx, uint8_t* out, uint32_t capacity);
/* Interprets a routing activation response for the context: DOIP_ERR_INVALID_ARGUMENT (null context, or
 * address texts that form no key; nothing stored), the
 * codes of doip_routing_activation_response_deserilize (nothing stored), then by response code: 0x10, 0x03
 * DOIP_OK (state ACTIVATED); 0x05, 0x11 DOIP_RA_CONFIRMATION_REQUIRED (CONFIRMATION); 0x06
 * DOIP_RA_UNSUPPORTED_TYPE (UNSUPPORTED_TYPE); 0x00 DOIP_RA_UNKNOWN_SOURCE_ADDRESS (UNKNOWN_SOURCE); 0x01
 * DOIP_RA_ALL_SOCKETS_ACTIVE, 0x02 DOIP_RA_SA_DIFFERENT (PENDING); 0x04 DOIP_RA_MISSING_AUTHENTICATION
 * (NO_AUTHENTICATION); 0x07 DOIP_RA_REQUIRES_TLS (TLS_REQUIRED); any other code DOIP_OK, nothing stored. */
DOIP_API int doip_activate_response(const doip_s* ctx, const uint8_t* bytes, uint32_t count);

/* Message reception and cache: one queue per listener, every appended message on every queue. The
 * default listener (id 1) is the application's; each doip_activate waits on a listener of its own. */

/* Hands over one received DoIP message: one copy of its bytes and four other fields goes on every queue
 * (a queue holding 1000 messages drops its oldest first) and every waiter is woken. The record stays the
 * caller's. A record without data is cached as an empty message on channel 0. DOIP_ERR_INVALID_ARGUMENT
 * for a null record. */
DOIP_API int doip_append_eth_message(const doip_message_s* msg);
/* Takes the oldest message of the default listener's queue into `out` (its old buffer freed; bytes and all
 * four fields); the caller releases it with doip_message_destory. An empty cached message leaves `out`
 * untouched; `unused` is not read. DOIP_ERR_INVALID_ARGUMENT (null out), DOIP_ERR_NO_MESSAGE (empty). */
DOIP_API int doip_get_message(doip_message_s* out, int* unused);
/* Removes the messages of `channel` from every queue, waiting activations' included, keeping the order of
 * the others. Returns DOIP_OK. */
DOIP_API int doip_clear_message(uint8_t channel);
/* The number of messages of `channel` summed over all queues: a message appended while an activation
 * waits is counted twice. */
DOIP_API int doip_msg_cache_count(uint8_t channel);
/* Blocks until the queue of `listener_id` (1: the default queue) yields a message with data, pattern's
 * channel and pattern's leading bytes; gives up after ctx->t_tcp_initial_inactivity_ms. Every other message
 * it takes from that queue meanwhile is discarded, so one thread at a time waits on a queue. On a match
 * `pattern` holds the whole message (its old buffer freed), which the caller releases with
 * doip_message_destory. DOIP_ERR_INVALID_ARGUMENT (null ctx or pattern, pattern without data),
 * DOIP_ERR_TIMEOUT (pattern unchanged). */
DOIP_API int doip_wait_message(int listener_id, const doip_s* ctx, doip_message_s* pattern);

/* Protocol timers. One process-wide timer thread ("doip_timer_event_loop") runs every callback, one after
 * another: a callback that blocks delays all the others. Timers are remembered per connection key (as in
 * the state registry); an entry stays after its callback ran until delete_timer removes it. */

/* Arms a one-shot DOIP_TIMER_A_DOIP_CTRL timer: callback(arg) runs once on the timer thread `delay_ms`
 * milliseconds from now (0 or less: at once) unless delete_timer cancels it first; `arg` must stay valid
 * until then. A delay above 1e12 ms (about 31.7 years; +inf too) is armed as 1e12 ms, one below -1e12 ms
 * (-inf too) as -1e12 ms. DOIP_ERR_INVALID_ARGUMENT (null ctx or callback, delay NaN, address texts that
 * form no key as in the state registry; nothing started),
 * DOIP_ERR_GENERAL after doip_stop_timer_loop or when the timer thread cannot be started. Starts the timer
 * thread itself when no doip_init has. */
DOIP_API int start_timer_a_doip_ctrl(const doip_s* ctx, double delay_ms, doip_timer_callback_fn callback,
                                     void* arg);
/* As start_timer_a_doip_ctrl, for DOIP_TIMER_T_TCP_GENERAL_INACTIVITY. */
DOIP_API int start_timer_a_tcp_general_inactivity(const doip_s* ctx, double delay_ms,
                                                  doip_timer_callback_fn callback, void* arg);
/* As start_timer_a_doip_ctrl, for DOIP_TIMER_T_TCP_INITIAL_INACTIVITY. */
DOIP_API int start_timer_a_tcp_initial_inactivity(const doip_s* ctx, double delay_ms,
                                                  doip_timer_callback_fn callback, void* arg);
/* As start_timer_a_doip_ctrl, for DOIP_TIMER_A_DOIP_DIAGNOSTIC_MESSAGE. */
DOIP_API int start_timer_a_doip_diagmsg(const doip_s* ctx, double delay_ms, doip_timer_callback_fn callback,
                                        void* arg);
/* Cancels and forgets the oldest timer of `kind` started for the context's connection: one call per start.
 * A timer already due when the cancel reaches the timer thread still runs once; the call never waits for
 * a callback. Returns DOIP_OK, also when there is nothing to cancel or ctx is null; address texts that form
 * no key (as in the state registry) give DOIP_ERR_INVALID_ARGUMENT. */
DOIP_API int delete_timer(const doip_s* ctx, int kind);

/* Stops the timer thread and joins it, waiting for a callback under way; pending timers are dropped
 * without running. Afterwards timers cannot be started (DOIP_ERR_GENERAL) and doip_init does not restart
 * the thread; a second call does nothing. Returns DOIP_OK. Called from a timer callback it aborts the
 * process. Call it before unloading the library explicitly (FreeLibrary, dlclose) while the process goes
 * on: on Windows the unload cannot join the thread under the loader lock, waits at most about 2 s for the
 * loop to end, and a callback still running then returns into unloaded code. */
DOIP_API int doip_stop_timer_loop(void);

/* Vehicle discovery and diagnostic requests: a whole message from the context's source_address,
 * target_address and protocol_version, written into `out`. Codes before DOIP_ERR_BUFFER_TOO_SMALL leave
 * the buffer untouched; then the whole capacity is zeroed, so it stays all zero on that code and the bytes
 * past the message are zero on success. */

/* Vehicle identification request (0x0001), 8 bytes. DOIP_ERR_INPUT_TOO_SHORT (null context),
 * DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL. */
DOIP_API int doip_vid_request(const doip_s* ctx, unsigned char* out, unsigned int capacity);
/* With EID (0x0002), 14 bytes: exactly 6 bytes are read from `eid`; `count` is not used.
 * DOIP_ERR_INPUT_TOO_SHORT (null context), DOIP_ERR_INVALID_ARGUMENT (null eid), DOIP_ERR_NULL_OUTPUT,
 * DOIP_ERR_BUFFER_TOO_SMALL. */
DOIP_API int doip_vid_eid_request(const doip_s* ctx, const unsigned char* eid, unsigned int count,
                                  unsigned char* out, unsigned int capacity);
/* With VIN (0x0003), 25 bytes: exactly 17 bytes are read from `vin` (no NUL needed); `count` is not used.
 * DOIP_ERR_INPUT_TOO_SHORT (null context), DOIP_ERR_INVALID_ARGUMENT (null vin), DOIP_ERR_NULL_OUTPUT,
 * DOIP_ERR_BUFFER_TOO_SMALL. */
DOIP_API int doip_vid_vin_request(const doip_s* ctx, const char* vin, unsigned int count, unsigned char* out,
                                  unsigned int capacity);
/* Diagnostic message (0x8001), 12 + count bytes; `count` may be 0. DOIP_ERR_INPUT_TOO_SHORT (null
 * context), DOIP_ERR_GENERAL (no memory for the working record), DOIP_ERR_INVALID_ARGUMENT (null uds with
 * a non-zero count), DOIP_ERR_NULL_OUTPUT, DOIP_ERR_BUFFER_TOO_SMALL. */
DOIP_API int doip_diag_request(const doip_s* ctx, const unsigned char* uds, unsigned int count,
                               unsigned char* out, unsigned int capacity);

/* Target list and error texts. */

/* Lists the local end (address, port) of every connection the state registry knows, in key order:
 * `targets` has room for *count records, and on DOIP_OK *count is the number written (ip_address cut to
 * 64 characters). Keys that do not split into an address and a port are skipped. DOIP_ERR_GENERAL for
 * null targets, a null count or *count below 1 (nothing written). */
DOIP_API int get_doip_targets(eth_config_s* targets, int* count);
/* Writes the text of `code` into buf (capacity *len, NUL included), cut byte-wise (a UTF-8 character may
 * be split); *len receives the bytes written without the NUL. A code without a text gives
 * "unknwon err code: " and the code in decimal. DOIP_ERR_GENERAL for a null buf or len or a capacity not
 * above 0 (nothing written). */
DOIP_API int get_doip_err_str(int code, char* buf, int* len);

#ifdef __cplusplus
} /* extern "C" */

/* A doip_message_s that owns its buffer; same layout as doip_message_s, so get() serves where the C
 * functions take a record. No member throws; one object is not used by two threads at once. */
class DOIP_API doip_message_raii {
  public:
    uint8_t channel;
    uint32_t length;
    uint32_t aux1;
    uint32_t aux2;
    uint8_t* data;

    /* The empty message. */
    doip_message_raii();
    /* Deep copy of a non-empty source; stays empty for null/empty sources or when allocation fails. */
    explicit doip_message_raii(const doip_message_s* src);
    /* A deep copy, as the constructor from a record. */
    doip_message_raii(const doip_message_raii& other);
    /* A deep copy as well: the source is left unchanged. */
    doip_message_raii(doip_message_raii&& other) noexcept;
    /* Self-assignment or an empty source changes nothing; otherwise the own buffer is freed and a deep copy
     * made (without memory the object is left without data). */
    doip_message_raii& operator=(const doip_message_raii& other);
    /* The same as copy assignment: the source is left unchanged. */
    doip_message_raii& operator=(doip_message_raii&& other) noexcept;
    /* Frees the buffer and zeroes the fields. */
    ~doip_message_raii();

    doip_message_s* get() { return reinterpret_cast<doip_message_s*>(this); }
    const doip_message_s* get() const { return reinterpret_cast<const doip_message_s*>(this); }
};
#endif

#endif /* DOIP_H */
