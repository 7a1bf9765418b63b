// The bus-cost report: for a frame received and transferred whole, the
// receiver's modeled bus time (every port access costs the same bus cycle)
// against the frame's wire time at 10 Mbit/s and against the data-only
// bound (one access per data word moved through the data port, no register
// access at all). Prints a Markdown table and writes an SVG chart of the
// three against frame size.
//
//   bench_buscost [--svg FILE] [--isa8] [--cycle-ns N]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/pair.h"

namespace {

struct Row {
    std::size_t len = 0;
    double rx_ports = 0, rx_data = 0, tx_ports = 0;
    double bus_us = 0, wire_us = 0, bound_us = 0, tx_bus_us = 0;
    double frame_us = 0;  // one access per data word of the frame itself, read once
};

Row Measure(hw::BoardKind kind, sim::Nanos cycle, std::size_t len) {
    constexpr int kFrames = 32;
    bench::Pair pair(kind, cycle);
    pair.prepare(len);
    pair.send_one();
    bench::CardCost tx0 = pair.sender_cost(), rx0 = pair.receiver_cost();
    for (int i = 0; i < kFrames; i++) pair.send_one();
    if (!pair.healthy()) {
        std::fprintf(stderr, "bench_buscost: frames of %zu bytes were lost or damaged\n", len);
        std::exit(1);
    }
    bench::CardCost tx = pair.sender_cost(), rx = pair.receiver_cost();
    Row r;
    r.len = len;
    r.rx_ports = static_cast<double>(rx.accesses - rx0.accesses) / kFrames;
    r.rx_data = static_cast<double>(rx.data_accesses - rx0.data_accesses) / kFrames;
    r.tx_ports = static_cast<double>(tx.accesses - tx0.accesses) / kFrames;
    double cycle_us = static_cast<double>(cycle) / 1000.0;
    r.bus_us = r.rx_ports * cycle_us;
    r.bound_us = r.rx_data * cycle_us;
    r.tx_bus_us = r.tx_ports * cycle_us;
    r.wire_us = static_cast<double>(bench::frame_wire_time(len)) / 1000.0;
    std::size_t width = kind == hw::BoardKind::Isa8 ? 1 : 2;
    std::size_t on_wire = len < 60 ? 60 : len;
    r.frame_us = static_cast<double>((on_wire + width - 1) / width) * cycle_us;
    return r;
}

// A line chart by hand: frame size across, microseconds up.
void WriteSvg(const char* path, const std::vector<Row>& rows, const char* title) {
    const double W = 780, H = 420, L = 70, R = 230, T = 40, B = 50;
    double xmax = 1514, ymax = 0;
    for (const Row& r : rows) ymax = std::fmax(ymax, std::fmax(r.bus_us, r.wire_us));
    double step = ymax > 1000 ? 250 : ymax > 400 ? 100 : 50;
    ymax = std::ceil(ymax / step) * step;
    auto X = [&](double v) { return L + (W - L - R) * v / xmax; };
    auto Y = [&](double v) { return H - B - (H - T - B) * v / ymax; };
    FILE* f = std::fopen(path, "w");
    if (!f) {
        std::perror(path);
        std::exit(1);
    }
    std::fprintf(f,
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                 "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" font-size=\"12\">\n"
                 "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
                 "<text x=\"%.0f\" y=\"22\" font-size=\"14\">%s</text>\n",
                 W, H, W, H, L, title);
    for (double v = 0; v <= ymax + 0.5; v += step) {
        std::fprintf(f,
                     "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n"
                     "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%.0f</text>\n",
                     X(0), Y(v), X(xmax), Y(v), X(0) - 6, Y(v) + 4, v);
    }
    for (double v = 0; v <= xmax; v += 250) {
        std::fprintf(f,
                     "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n"
                     "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%.0f</text>\n",
                     X(v), Y(0), X(v), Y(ymax), X(v), Y(0) + 16, v);
    }
    std::fprintf(f,
                 "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">frame size (bytes, without FCS)</text>\n"
                 "<text x=\"16\" y=\"%.1f\" transform=\"rotate(-90 16 %.1f)\" "
                 "text-anchor=\"middle\">microseconds per frame</text>\n",
                 (X(0) + X(xmax)) / 2, H - 12, (Y(0) + Y(ymax)) / 2, (Y(0) + Y(ymax)) / 2);
    struct Series {
        const char* name;
        const char* color;
        const char* dash;
        double Row::*field;
    } series[] = {{"modeled bus time (receive)", "#c0392b", "", &Row::bus_us},
                  {"wire time at 10 Mbit/s", "#2c3e50", "6,4", &Row::wire_us},
                  {"data-only bound", "#27ae60", "2,3", &Row::bound_us}};
    int i = 0;
    for (const Series& s : series) {
        std::string points;
        for (const Row& r : rows) {
            char p[48];
            std::snprintf(p, sizeof p, "%.1f,%.1f ", X(static_cast<double>(r.len)), Y(r.*s.field));
            points += p;
        }
        std::fprintf(f,
                     "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\" stroke-dasharray=\"%s\" "
                     "points=\"%s\"/>\n",
                     s.color, s.dash, points.c_str());
        for (const Row& r : rows)
            std::fprintf(f, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\" fill=\"%s\"/>\n",
                         X(static_cast<double>(r.len)), Y(r.*s.field), s.color);
        double ly = T + 10 + 20 * i++;
        std::fprintf(f,
                     "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                     "stroke-width=\"2\" stroke-dasharray=\"%s\"/>\n"
                     "<text x=\"%.1f\" y=\"%.1f\">%s</text>\n",
                     W - R + 10, ly, W - R + 34, ly, s.color, s.dash, W - R + 40, ly + 4, s.name);
    }
    std::fprintf(f, "</svg>\n");
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    const char* svg = nullptr;
    hw::BoardKind kind = hw::BoardKind::Isa16;
    sim::Nanos cycle = hw::kMicrosecond;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--svg") == 0 && i + 1 < argc) {
            svg = argv[++i];
        } else if (std::strcmp(argv[i], "--isa8") == 0) {
            kind = hw::BoardKind::Isa8;
        } else if (std::strcmp(argv[i], "--cycle-ns") == 0 && i + 1 < argc) {
            cycle = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s [--svg FILE] [--isa8] [--cycle-ns N]\n", argv[0]);
            return 2;
        }
    }
    const std::size_t sizes[] = {60, 128, 256, 384, 512, 590, 768, 1024, 1280, 1514};
    std::vector<Row> rows;
    for (std::size_t len : sizes) rows.push_back(Measure(kind, cycle, len));

    const char* path = kind == hw::BoardKind::Isa8 ? "8-bit" : "16-bit";
    std::printf("Receive, %s data path, %llu ns per port access; times in microseconds per frame.\n\n",
                path, static_cast<unsigned long long>(cycle));
    std::printf("| frame bytes | receive accesses | of them data | bus time | wire time | bus / wire "
                "| data-only bound | bus / bound | frame read once | bus / frame once "
                "| send accesses | send bus time |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& r : rows)
        std::printf("| %zu | %.1f | %.0f | %.1f | %.1f | %.2f | %.1f | %.3f | %.1f | %.2f | %.0f | %.1f |\n",
                    r.len, r.rx_ports, r.rx_data, r.bus_us, r.wire_us, r.bus_us / r.wire_us,
                    r.bound_us, r.bus_us / r.bound_us, r.frame_us, r.bus_us / r.frame_us,
                    r.tx_ports, r.tx_bus_us);
    if (svg) {
        char title[128];
        std::snprintf(title, sizeof title,
                      "Receiving a frame whole: %s card, %llu ns per port access", path,
                      static_cast<unsigned long long>(cycle));
        WriteSvg(svg, rows, title);
    }
    return 0;
}
