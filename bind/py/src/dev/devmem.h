// Loads and stores of device memory through a mapped TLB window.
//
// Every access the binding makes to a card's memory goes through the eight
// primitives below and nowhere else.  Each is one call of the trap's
// fault-safe routine of its width: a card reset or removed out of band turns
// an access into a bus error, which the trap's SIGBUS handler recognises by
// the routine's access instruction and turns into a false return here, with
// no system call and no jump buffer on the way in.  The handler must be on
// top of SIGBUS (nr_trap_claim) before the first access of a mapping:
// Tlb.bind does that.
//
// Each primitive is exactly one access of its width at a naturally aligned
// address, the routine's one instruction: it is neither split, nor merged
// with its neighbours, nor dropped.  The bulk copies are made of them too,
// never of a library memcpy, whose access widths and order are its own
// business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "trap.h"

namespace nrhal::dev::devmem {

inline bool load8(const uint8_t *p, uint8_t &out) noexcept { return nr_devmem_load8(p, &out) == 0; }
inline bool load16(const uint8_t *p, uint16_t &out) noexcept { return nr_devmem_load16(p, &out) == 0; }
inline bool load32(const uint8_t *p, uint32_t &out) noexcept { return nr_devmem_load32(p, &out) == 0; }
inline bool load64(const uint8_t *p, uint64_t &out) noexcept { return nr_devmem_load64(p, &out) == 0; }

inline bool store8(uint8_t *p, uint8_t v) noexcept { return nr_devmem_store8(p, v) == 0; }
inline bool store16(uint8_t *p, uint16_t v) noexcept { return nr_devmem_store16(p, v) == 0; }
inline bool store32(uint8_t *p, uint32_t v) noexcept { return nr_devmem_store32(p, v) == 0; }
inline bool store64(uint8_t *p, uint64_t v) noexcept { return nr_devmem_store64(p, v) == 0; }

// The primitive of a width, for code written once for all widths.
inline bool load(const uint8_t *p, uint8_t &out) noexcept { return load8(p, out); }
inline bool load(const uint8_t *p, uint16_t &out) noexcept { return load16(p, out); }
inline bool load(const uint8_t *p, uint32_t &out) noexcept { return load32(p, out); }
inline bool load(const uint8_t *p, uint64_t &out) noexcept { return load64(p, out); }
inline bool store(uint8_t *p, uint8_t v) noexcept { return store8(p, v); }
inline bool store(uint8_t *p, uint16_t v) noexcept { return store16(p, v); }
inline bool store(uint8_t *p, uint32_t v) noexcept { return store32(p, v); }
inline bool store(uint8_t *p, uint64_t v) noexcept { return store64(p, v); }

namespace detail {

// The widest access, at most 8 bytes, that is aligned at `p` and fits in n.
inline size_t step(const uint8_t *p, size_t n) noexcept {
  auto a = reinterpret_cast<uintptr_t>(p);
  if (n >= 8 && (a & 7) == 0) return 8;
  if (n >= 4 && (a & 3) == 0) return 4;
  if (n >= 2 && (a & 1) == 0) return 2;
  return 1;
}

// One access of width w between device address `dev` and host bytes `host`
// (any alignment: the host side is ordinary memory).
template <class T> inline bool copy_out(uint8_t *host, const uint8_t *dev) noexcept {
  T v;
  if (!load(dev, v)) return false;
  std::memcpy(host, &v, sizeof v);
  return true;
}

template <class T> inline bool copy_in(uint8_t *dev, const uint8_t *host) noexcept {
  T v;
  std::memcpy(&v, host, sizeof v);
  return store(dev, v);
}

} // namespace detail

// Copies n bytes of device memory at `src` to host memory at `dst`: an
// unaligned head and the tail in 1-, 2- and 4-byte accesses as alignment
// allows, everything between in 8-byte ones, in ascending address order.
inline bool read_bytes(uint8_t *dst, const uint8_t *src, size_t n) noexcept {
  while (n) {
    size_t w = detail::step(src, n);
    bool ok;
    switch (w) {
      case 8:
        // Aligned now: stay in the word loop for the bulk.
        for (; n >= 8; src += 8, dst += 8, n -= 8)
          if (!detail::copy_out<uint64_t>(dst, src)) return false;
        continue;
      case 4: ok = detail::copy_out<uint32_t>(dst, src); break;
      case 2: ok = detail::copy_out<uint16_t>(dst, src); break;
      default: ok = detail::copy_out<uint8_t>(dst, src); break;
    }
    if (!ok) return false;
    src += w, dst += w, n -= w;
  }
  return true;
}

// Copies n bytes of host memory at `src` to device memory at `dst`, with
// the accesses of read_bytes.
inline bool write_bytes(uint8_t *dst, const uint8_t *src, size_t n) noexcept {
  while (n) {
    size_t w = detail::step(dst, n);
    bool ok;
    switch (w) {
      case 8:
        for (; n >= 8; src += 8, dst += 8, n -= 8)
          if (!detail::copy_in<uint64_t>(dst, src)) return false;
        continue;
      case 4: ok = detail::copy_in<uint32_t>(dst, src); break;
      case 2: ok = detail::copy_in<uint16_t>(dst, src); break;
      default: ok = detail::copy_in<uint8_t>(dst, src); break;
    }
    if (!ok) return false;
    src += w, dst += w, n -= w;
  }
  return true;
}

} // namespace nrhal::dev::devmem
