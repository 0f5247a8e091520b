#include "platform/orv_handle.h"

#include <errno.h>

#include <new>

#include "platform/byte_order.h"

orv_io* new_orv_handle(intptr_t os_handle, int mode, uint64_t size) {
  orv_io* io = new (std::nothrow) orv_io();
  if (io == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  io->os_handle = os_handle;
  io->mode = static_cast<unsigned char>(mode);
  store_le64(io->size_le, size);
  return io;
}

void note_read(orv_io* io, uint32_t asked, uint32_t got) {
  io->position += got;
  // A read that returns nothing is the end. So is a short read that stops
  // exactly at the size the file had when it was opened, which saves a
  // system call per file; files that claim a size of 0 but have content
  // (as under /proc) are read until a read returns nothing.
  const uint64_t expected = load_le64(io->size_le);
  if (got == 0 || (got < asked && expected != 0 && io->position == expected)) {
    io->at_end = 1;
    // The record must describe the bytes that were hashed, also when the
    // file grew or shrank while it was read.
    store_le64(io->size_le, io->position);
  }
}

void note_error(orv_io* io, int error) {
  if (io->first_error == 0) io->first_error = error;
}

int delete_orv_handle(orv_io* io) {
  const int error = io->first_error;
  delete io;
  return error;
}
