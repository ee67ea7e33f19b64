"""A first look at the cards: scan, open each one, print its identity.

Run it on the simulator with `make demo`, or on a machine with cards and the
kernel driver loaded with `python3 tools/demo.py`."""
import sys

import nrhal


def main() -> int:
    devices = nrhal.scan()
    if not devices:
        print("no Norvane cards found (is the kernel driver loaded?)")
        return 1
    for dev in devices:
        with dev.open() as sess:
            info = sess.info()
        domain = info.pci_domain
        bus, slot, fn = info.bus_dev_fn >> 8, (info.bus_dev_fn >> 3) & 0x1F, info.bus_dev_fn & 7
        print(f"{dev!r}: {info!r}")
        print(f"    PCI address        {domain:04x}:{bus:02x}:{slot:02x}.{fn:x}")
        print(f"    subsystem          {info.subsystem_vendor_id:#06x}:{info.subsystem_id:#06x}")
        print(f"    max DMA buffer     2^{info.max_dma_buf_size_log2} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
