// The kernel driver's request numbers and records, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nr::drv {

// _IO(0xFA, n): direction none, size field 0, so the number is 0xFA00 + n.
constexpr unsigned long io(unsigned n) { return (0xFAul << 8) | n; }

constexpr unsigned long NR_IOCTL_GET_DEVICE_INFO = io(0x00);
constexpr unsigned long NR_IOCTL_GET_DRIVER_INFO = io(0x05);
constexpr unsigned long NR_IOCTL_RESET_DEVICE = io(0x06);
constexpr unsigned long NR_IOCTL_ALLOCATE_TLB = io(0x0B);
constexpr unsigned long NR_IOCTL_FREE_TLB = io(0x0C);
constexpr unsigned long NR_IOCTL_CONFIGURE_TLB = io(0x0D);
constexpr unsigned long NR_IOCTL_SET_POWER_STATE = io(0x0F);
constexpr unsigned long NR_IOCTL_SMC_MESSAGE = io(0x11);

static_assert(NR_IOCTL_GET_DEVICE_INFO == 0xFA00 && NR_IOCTL_RESET_DEVICE == 0xFA06);
static_assert(NR_IOCTL_ALLOCATE_TLB == 0xFA0B && NR_IOCTL_SMC_MESSAGE == 0xFA11);

struct get_device_info {
  uint32_t in_output_size_bytes; // 20
  uint32_t output_size_bytes;
  uint16_t vendor_id;
  uint16_t device_id;
  uint16_t subsystem_vendor_id;
  uint16_t subsystem_id;
  uint16_t bus_dev_fn;
  uint16_t max_dma_buf_size_log2;
  uint16_t pci_domain;
  uint8_t reserved[2];
};
static_assert(sizeof(get_device_info) == 24);
static_assert(offsetof(get_device_info, in_output_size_bytes) == 0);
static_assert(offsetof(get_device_info, output_size_bytes) == 4);
static_assert(offsetof(get_device_info, vendor_id) == 8);
static_assert(offsetof(get_device_info, device_id) == 10);
static_assert(offsetof(get_device_info, subsystem_vendor_id) == 12);
static_assert(offsetof(get_device_info, subsystem_id) == 14);
static_assert(offsetof(get_device_info, bus_dev_fn) == 16);
static_assert(offsetof(get_device_info, max_dma_buf_size_log2) == 18);
static_assert(offsetof(get_device_info, pci_domain) == 20);
static_assert(offsetof(get_device_info, reserved) == 22);

// Size of the output part of get_device_info.
constexpr uint32_t DEVICE_INFO_OUT_SIZE = 20;

// NR_IOCTL_SMC_MESSAGE: one record for post, poll and drop.
constexpr uint32_t NR_SMC_MESSAGE_POST = 1;
constexpr uint32_t NR_SMC_MESSAGE_POLL = 2;
constexpr uint32_t NR_SMC_MESSAGE_DROP = 4;

struct smc_message {
  uint32_t argsz; // 48
  uint32_t flags; // one NR_SMC_MESSAGE_* operation
  uint8_t reserved[8];
  uint32_t message[8];
};
static_assert(sizeof(smc_message) == 48);
static_assert(offsetof(smc_message, argsz) == 0);
static_assert(offsetof(smc_message, flags) == 4);
static_assert(offsetof(smc_message, reserved) == 8);
static_assert(offsetof(smc_message, message) == 16);

// NR_IOCTL_ALLOCATE_TLB
struct allocate_tlb {
  uint64_t size;
  uint64_t reserved0;
  uint32_t id; // out
  uint32_t reserved1;
  uint64_t uc_mmap_offset; // out
  uint64_t wc_mmap_offset; // out
  uint64_t reserved2;
};
static_assert(sizeof(allocate_tlb) == 48);
static_assert(offsetof(allocate_tlb, size) == 0);
static_assert(offsetof(allocate_tlb, reserved0) == 8);
static_assert(offsetof(allocate_tlb, id) == 16);
static_assert(offsetof(allocate_tlb, reserved1) == 20);
static_assert(offsetof(allocate_tlb, uc_mmap_offset) == 24);
static_assert(offsetof(allocate_tlb, wc_mmap_offset) == 32);
static_assert(offsetof(allocate_tlb, reserved2) == 40);

// NR_IOCTL_FREE_TLB
struct free_tlb {
  uint32_t id;
};
static_assert(sizeof(free_tlb) == 4);

// NR_IOCTL_CONFIGURE_TLB.  Coordinates are two bytes wide here, and `mode`
// sits between `mcast` and `linked`.
struct configure_tlb {
  uint32_t id;
  uint32_t reserved0;
  uint64_t addr;
  uint16_t x_end;
  uint16_t y_end;
  uint16_t x_start;
  uint16_t y_start;
  uint8_t noc;
  uint8_t mcast;
  uint8_t mode; // always 1
  uint8_t linked;
  uint8_t static_vc;
  uint8_t reserved1[19];
};
static_assert(sizeof(configure_tlb) == 48);
static_assert(offsetof(configure_tlb, id) == 0);
static_assert(offsetof(configure_tlb, reserved0) == 4);
static_assert(offsetof(configure_tlb, addr) == 8);
static_assert(offsetof(configure_tlb, x_end) == 16);
static_assert(offsetof(configure_tlb, y_end) == 18);
static_assert(offsetof(configure_tlb, x_start) == 20);
static_assert(offsetof(configure_tlb, y_start) == 22);
static_assert(offsetof(configure_tlb, noc) == 24);
static_assert(offsetof(configure_tlb, mcast) == 25);
static_assert(offsetof(configure_tlb, mode) == 26);
static_assert(offsetof(configure_tlb, linked) == 27);
static_assert(offsetof(configure_tlb, static_vc) == 28);
static_assert(offsetof(configure_tlb, reserved1) == 29);

constexpr uint8_t TLB_MODE = 1;

// NR_IOCTL_SET_POWER_STATE
struct power_state {
  uint32_t argsz; // 40
  uint32_t flags; // 0
  uint8_t reserved0;
  uint8_t flag_count; // the defined feature bits: 4
  uint16_t power_flags;
  uint8_t reserved1[28];
};
static_assert(sizeof(power_state) == 40);
static_assert(offsetof(power_state, argsz) == 0);
static_assert(offsetof(power_state, flags) == 4);
static_assert(offsetof(power_state, reserved0) == 8);
static_assert(offsetof(power_state, flag_count) == 9);
static_assert(offsetof(power_state, power_flags) == 10);
static_assert(offsetof(power_state, reserved1) == 12);

constexpr uint8_t POWER_FLAG_COUNT = 4;

// NR_IOCTL_RESET_DEVICE: one record for both steps.
struct reset_device {
  uint32_t in_output_size_bytes; // 8
  uint32_t flags;                // NR_RESET_BEGIN or NR_RESET_FINISH
  uint32_t output_size_bytes;
  uint32_t result; // non-zero: the driver could not perform the step
};
static_assert(sizeof(reset_device) == 16);
static_assert(offsetof(reset_device, in_output_size_bytes) == 0);
static_assert(offsetof(reset_device, flags) == 4);
static_assert(offsetof(reset_device, output_size_bytes) == 8);
static_assert(offsetof(reset_device, result) == 12);

constexpr uint32_t NR_RESET_BEGIN = 4;
constexpr uint32_t NR_RESET_FINISH = 6;

// NR_IOCTL_GET_DRIVER_INFO
struct get_driver_info {
  uint32_t in_output_size_bytes; // 12
  uint32_t out0;
  uint32_t out1;
  uint8_t major;
  uint8_t minor;
  uint8_t patch;
  uint8_t reserved;
};
static_assert(sizeof(get_driver_info) == 16);
static_assert(offsetof(get_driver_info, major) == 12);
static_assert(offsetof(get_driver_info, minor) == 13);
static_assert(offsetof(get_driver_info, patch) == 14);

} // namespace nr::drv
