/* Operating-system services the bridge needs: host identity and the
 * platform start-up and clean-up hooks. */
#ifndef TARNIX_MW_COMPAT_H
#define TARNIX_MW_COMPAT_H

#include <cstddef>

/* Lower-case computer name into buffer (terminated at size - 1).
 * 0 on success, -1 on failure; a size of 0 fails and leaves buffer alone. */
int tarnixCompat_getComputerName(char* buffer, size_t size);

/* Lower-case user name of the process's effective user, same contract. */
int tarnixCompat_getUserName(char* buffer, size_t size);

/* Platform hooks run around the client library's lifetime; nothing to do on
 * this platform, both return 0. */
int tarnixCompat_platformInit(void);
int tarnixCompat_platformCleanup(void);

#endif
