/* libkiv's shared configuration: the export marker, the device paths that
 * more than one module uses, and the limits of the debug configuration path. */
#ifndef KIV_COMP_CONFIG_H
#define KIV_COMP_CONFIG_H

#if defined(__GNUC__)
#define KIV_API __attribute__((visibility("default")))
#else
#define KIV_API
#endif

/* Compile-time checks of the wire layouts. C99 has no static assertion: a
 * false condition there gives an array of negative size instead (every use
 * declares the same array, which C allows). */
#if defined(__cplusplus)
#define KIV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KIV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define KIV_STATIC_ASSERT(cond, msg) extern char kiv_static_assert_[(cond) ? 1 : -1]
#endif

/* Present while the Manager has exited; clients then send nothing. */
#define KIV_STATUS_FILE "/data/.kiv_status"
/* The Manager's listening socket (AF_UNIX, SOCK_SEQPACKET). */
#define KIV_SOCK_PATH "/tmp/kiv/.kiv"
/* Base name of the Manager's executable. */
#define KIV_MANAGER_NAME "kiv"

/* The debug configuration file is $DATA_TALU_DIR followed by this suffix;
 * the whole path must fit KIV_DBG_CFG_PATH_MAX - 1 characters. */
#define KIV_DATA_TALU_ENV "DATA_TALU_DIR"
#define KIV_DBG_CFG_SUFFIX "/qn_utils/qn_utils_dbg_cfg.txt"
#define KIV_DBG_CFG_PATH_MAX 256

#endif
