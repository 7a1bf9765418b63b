#include "hw/decode.h"

#include "hw/board.h"
#include "hw/dp8390_regs.h"

namespace hw {

using namespace dp8390;

namespace {

// Register names by offset, one table per page and direction.
const char* const kPage0Read[16] = {"CR",    "CLDA0", "CLDA1", "BNRY", "TSR",   "NCR",   "FIFO",  "ISR",
                                    "CRDA0", "CRDA1", "P0+0x0A", "P0+0x0B", "RSR", "CNTR0", "CNTR1", "CNTR2"};
const char* const kPage0Write[16] = {"CR",    "PSTART", "PSTOP", "BNRY",  "TPSR", "TBCR0", "TBCR1", "ISR",
                                     "RSAR0", "RSAR1",  "RBCR0", "RBCR1", "RCR",  "TCR",   "DCR",   "IMR"};
const char* const kPage1[16] = {"CR",   "PAR0", "PAR1", "PAR2", "PAR3", "PAR4", "PAR5", "CURR",
                                "MAR0", "MAR1", "MAR2", "MAR3", "MAR4", "MAR5", "MAR6", "MAR7"};
const char* const kPage2Read[16] = {"CR",      "PSTART",  "PSTOP",   "RNPP",    "TPSR", "LNPP", "ACU", "ACL",
                                    "P2+0x08", "P2+0x09", "P2+0x0A", "P2+0x0B", "RCR",  "TCR",  "DCR", "IMR"};

struct Bit {
    std::uint8_t mask;
    const char* name;
};
const Bit kIsrBits[] = {{ISR_PRX, "PRX"}, {ISR_PTX, "PTX"}, {ISR_RXE, "RXE"}, {ISR_TXE, "TXE"},
                        {ISR_OVW, "OVW"}, {ISR_CNT, "CNT"}, {ISR_RDC, "RDC"}, {ISR_RST, "RST"}};
const Bit kRcrBits[] = {{RCR_SEP, "SEP"}, {RCR_AR, "AR"},   {RCR_AB, "AB"},
                        {RCR_AM, "AM"},   {RCR_PRO, "PRO"}, {RCR_MON, "MON"}};
const Bit kTcrBits[] = {{TCR_CRC, "CRC inhibit"}, {0x02, "LB0"}, {0x04, "LB1"}};
const Bit kDcrBits[] = {{DCR_WTS, "WTS"}, {DCR_BOS, "BOS"}, {DCR_LAS, "LAS"}, {DCR_LS, "LS"}, {DCR_AR, "AR"}};
const Bit kTsrBits[] = {{TSR_PTX, "PTX"}, {TSR_COL, "COL"}, {TSR_ABT, "ABT"}};

// "0x" and `digits` upper-case hex digits (more when the value needs them).
void append_hex(std::string& out, std::uint32_t v, int digits) {
    char buf[12];
    int n = 0;
    do {
        buf[n++] = "0123456789ABCDEF"[v & 0xF];
        v >>= 4;
    } while (v || n < digits);
    out += "0x";
    while (n) out += buf[--n];
}

template <std::size_t N>
void bits(std::string& out, std::uint8_t v, const Bit (&table)[N]) {
    bool first = true;
    for (const Bit& b : table) {
        if (!(v & b.mask)) continue;
        out += first ? " (" : ", ";
        out += b.name;
        first = false;
    }
    if (!first) out += ')';
}

void cr_text(std::string& out, std::uint8_t v) {
    bool first = true;
    auto add = [&](const char* t) {
        out += first ? " (" : ", ";
        out += t;
        first = false;
    };
    if (v & CR_STP) add("STP");
    if (v & CR_STA) add("STA");
    if (v & CR_TXP) add("TXP");
    switch (v & CR_RD_MASK) {
    case 0: break;
    case CR_RD_READ: add("remote read"); break;
    case CR_RD_WRITE: add("remote write"); break;
    case CR_RD_SEND: add("send packet"); break;
    default: add("abort DMA"); break;
    }
    add("page ");
    out += static_cast<char>('0' + (v >> CR_PS_SHIFT));
    out += ')';
}

void register_name(std::string& out, unsigned page, std::uint32_t offset, bool write) {
    if (offset == CR) {
        out += "CR";
    } else if (page == 0) {
        out += write ? kPage0Write[offset] : kPage0Read[offset];
    } else if (page == 1) {
        out += kPage1[offset];
    } else if (page == 2 && !write) {
        out += kPage2Read[offset];
    } else {
        out += 'P';
        out += static_cast<char>('0' + page);
        out += '+';
        append_hex(out, offset, 2);
    }
}

}  // namespace

void decode_access(std::string& out, unsigned page, std::uint32_t offset, bool write, unsigned width,
                   std::uint32_t value) {
    offset &= Ne2000Board::kPorts - 1;
    int digits = width == 16 ? 4 : 2;
    if (offset >= Ne2000Board::kDataPort) {
        out += offset < Ne2000Board::kResetPort ? "data " : "reset ";
        out += write ? "<- " : "-> ";
        append_hex(out, value, digits);
        return;
    }

    register_name(out, page, offset, write);
    out += write ? " = " : " -> ";
    append_hex(out, value, digits);
    if (width != 8) return;
    std::uint8_t v = static_cast<std::uint8_t>(value);
    if (offset == CR) return cr_text(out, v);
    if (page != 0) return;
    if (offset == P0R_ISR || (write && offset == P0W_IMR)) return bits(out, v, kIsrBits);
    if (write && offset == P0W_RCR) return bits(out, v, kRcrBits);
    if (write && offset == P0W_TCR) return bits(out, v, kTcrBits);
    if (write && offset == P0W_DCR) return bits(out, v, kDcrBits);
    if (!write && offset == P0R_TSR) return bits(out, v, kTsrBits);
}

}  // namespace hw
