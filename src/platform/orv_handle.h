// Bookkeeping of orv_io handles shared by the platform file layers; the
// platform files only move bytes and translate errors.
#ifndef DISC_MANIFEST_PLATFORM_ORV_HANDLE_H_
#define DISC_MANIFEST_PLATFORM_ORV_HANDLE_H_

#include <stdint.h>

#include "platform/orvlib.h"

/// A new handle around the system's |os_handle|, or null with errno ENOMEM.
/// |size| is the size the file reports when opened (0 for writing).
orv_io* new_orv_handle(intptr_t os_handle, int mode, uint64_t size);

/// Accounts for a successful read of |got| of |asked| bytes: sets the
/// end-of-file flag once the content has been read whole, and then makes
/// the size the number of bytes read.
void note_read(orv_io* io, uint32_t asked, uint32_t got);

/// Keeps |error| (an errno value) if it is the handle's first.
void note_error(orv_io* io, int error);

/// Releases the handle; returns its first error.
int delete_orv_handle(orv_io* io);

#endif  // DISC_MANIFEST_PLATFORM_ORV_HANDLE_H_
