// TLB windows: allocation, binding (map, then configure) and release.
#include <cerrno>
#include <cstring>

#include <sys/mman.h>

#include "driver.h"
#include "internal.h"
#include "nrhal.h"

static_assert(offsetof(nr_tlb, id) == 0);
static_assert(offsetof(nr_tlb, mapping) == 8);
static_assert(offsetof(nr_tlb, size) == 16);
static_assert(offsetof(nr_tlb, mmap_offset) == 24);
static_assert(sizeof(nr_tlb) == 32);
static_assert(sizeof(nr_tlb_config) == 16);
static_assert(offsetof(nr_tlb_config, x_end) == 8);
static_assert(offsetof(nr_tlb_config, static_vc) == 15);

extern "C" {

int nr_tlb_alloc(const nr_session *session, uint64_t size, int caching, nr_tlb *handle) {
  if (!nr::ready(session, handle)) return -1;
  nr::drv::allocate_tlb rec{};
  rec.size = size;
  if (nr::ioctl_req(session->fd, nr::drv::NR_IOCTL_ALLOCATE_TLB, &rec) != 0) return -1;
  memset(handle, 0, sizeof *handle);
  handle->id = rec.id;
  handle->size = size;
  if (caching == NR_TLB_UNCACHED || caching == NR_TLB_WRITE_COMBINED) {
    handle->mmap_offset = caching == NR_TLB_UNCACHED ? rec.uc_mmap_offset : rec.wc_mmap_offset;
    return 0;
  }
  // The driver already gave us the window: hand it back.
  errno = EINVAL;
  nr_tlb_free(session, handle);
  return nr::fail(EINVAL);
}

int nr_tlb_bind(const nr_session *session, nr_tlb *handle, const nr_tlb_config *config) {
  if (!nr::ready(session, handle, config)) return -1;

  int err;
  void *fresh = mmap(nullptr, handle->size, PROT_READ | PROT_WRITE, MAP_SHARED, session->fd,
                     static_cast<off_t>(handle->mmap_offset));
  if (fresh == MAP_FAILED) {
    err = errno == ENODEV ? ECONNRESET : errno;
  } else {
    nr::drv::configure_tlb rec{};
    rec.id = handle->id;
    rec.addr = config->addr;
    rec.x_end = config->x_end;
    rec.y_end = config->y_end;
    rec.x_start = config->x_start;
    rec.y_start = config->y_start;
    rec.noc = config->noc;
    rec.mcast = config->mcast;
    rec.mode = nr::drv::TLB_MODE;
    rec.linked = config->linked;
    rec.static_vc = config->static_vc;
    if (nr::ioctl_req(session->fd, nr::drv::NR_IOCTL_CONFIGURE_TLB, &rec) == 0) {
      if (handle->mapping) munmap(handle->mapping, handle->size);
      handle->mapping = static_cast<uint8_t *>(fresh);
      return 0;
    }
    err = errno;
    munmap(fresh, handle->size);
  }
  // A failed bind always leaves the handle unmapped.
  if (handle->mapping) {
    munmap(handle->mapping, handle->size);
    handle->mapping = nullptr;
  }
  return nr::fail(err);
}

int nr_tlb_free(const nr_session *session, nr_tlb *handle) {
  if (!nr::ready(session, handle)) return -1;
  if (handle->mapping && munmap(handle->mapping, handle->size) != 0) return -1;
  handle->mapping = nullptr;
  nr::drv::free_tlb rec{handle->id};
  if (nr::ioctl_req(session->fd, nr::drv::NR_IOCTL_FREE_TLB, &rec) != 0) return -1;
  handle->id = 0;
  return 0;
}

} // extern "C"
