/* sfsource: client side of the serial forwarder protocol.
 *
 * Every function reports failure only through its result and prints nothing.
 * Descriptors are blocking; calls wait as long as the transfer takes. */
#ifndef SFSOURCE_H
#define SFSOURCE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Reads until count bytes are in buffer or the stream ends; returns the number
 * read (less than count only at end of stream), or -1 on error. */
int saferead(int fd, void *buffer, int count);

/* Writes all count bytes; returns count, or -1 on error. A peer or pipe reader
 * that has gone gives -1, never SIGPIPE, even when it leaves mid-write. */
int safewrite(int fd, const void *buffer, int count);

/* Connects to the forwarder at host (name or dotted quad) and port (low 16 bits
 * used) and performs the handshake. Returns the connected descriptor, owned by
 * the caller, or a negative value with nothing left open. */
int open_sf_source(const char *host, int port);

/* Performs the version handshake on a connected descriptor: 0 on success, -1 on
 * failure. Never closes fd. */
int init_sf_source(int fd);

/* Reads one frame. Returns its payload in a block the caller releases with
 * free (non-null even for an empty packet) and stores its length in *len; or
 * returns null, leaving *len untouched, at end of stream or on any error. */
void *read_sf_packet(int fd, int *len);

/* Sends packet as one frame of len bytes (0 to 255): 0 on success, -1 on
 * failure. */
int write_sf_packet(int fd, const void *packet, int len);

#ifdef __cplusplus
}
#endif

#endif
