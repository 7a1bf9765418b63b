// What the host platform's port routing needs of a device that answers in
// the I/O space: 8- and 16-bit accesses at an offset from its base, string
// forms, an interrupt line, and a decoder for the port-access trace.
#ifndef HW_PORT_DEVICE_H
#define HW_PORT_DEVICE_H

#include <cstdint>
#include <functional>
#include <string>

namespace hw {

class PortDevice {
public:
    virtual ~PortDevice() = default;

    virtual std::uint8_t read8(std::uint32_t offset) = 0;
    virtual void write8(std::uint32_t offset, std::uint8_t value) = 0;
    virtual std::uint16_t read16(std::uint32_t offset) = 0;
    virtual void write16(std::uint32_t offset, std::uint16_t value) = 0;

    // Repeated accesses to one port; the default loops over the single forms.
    virtual void read8_string(std::uint32_t offset, std::uint8_t* dst, std::uint32_t count);
    virtual void read16_string(std::uint32_t offset, std::uint16_t* dst, std::uint32_t count);
    virtual void write8_string(std::uint32_t offset, const std::uint8_t* src, std::uint32_t count);
    virtual void write16_string(std::uint32_t offset, const std::uint16_t* src, std::uint32_t count);

    // Level of the interrupt line, and a listener told of every change.
    virtual bool irq_level() const { return false; }
    void set_irq_listener(std::function<void(bool)> listener) { irq_listener_ = std::move(listener); }

    // The host platform tells the device while the driver's interrupt
    // service routine runs (the card counts accesses it must never see then).
    virtual void set_isr_context(bool /*active*/) {}

    // Appends to `out` the name of the register an access hits, as the
    // device is now (page etc.), and the value, for example
    // "CR = 0x22 (STA, abort DMA, page 0)". Called before the access; the
    // trace reuses the room of one string. The default gives "+0x07 = 0x01".
    virtual void describe_to(std::string& out, std::uint32_t offset, bool write, unsigned width,
                             std::uint32_t value) const;

protected:
    void notify_irq(bool level) {
        if (irq_listener_) irq_listener_(level);
    }

private:
    std::function<void(bool)> irq_listener_;
};

}  // namespace hw

#endif  // HW_PORT_DEVICE_H
