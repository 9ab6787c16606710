/* The file-system service's per-VSD entry point, as the device's platform
 * library exports it. libkiv loads that library at run time by its soname,
 * FS_SERVICE_SONAME (the build option KIV_FS_SERVICE_SONAME), and calls
 * this function when a VSD process is set up. */
#ifndef FS_SERVICE_H
#define FS_SERVICE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Applies the file-system service's settings for VSD vsd_no to the calling
 * process. Returns 0 or more on success, a negative value on failure. */
int fs_set_vsd_envs(int vsd_no);

#ifdef __cplusplus
}
#endif

#endif
