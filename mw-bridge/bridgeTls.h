/* One pointer-sized slot of per-thread storage for the bridge. The slot is
 * allocated zeroed on a thread's first use and freed when the thread ends. */
#ifndef TARNIX_MW_BRIDGETLS_H
#define TARNIX_MW_BRIDGETLS_H

/* The calling thread's slot, or null when storage is unavailable. */
void** tarnixBridgeTls_get(void);

#endif
