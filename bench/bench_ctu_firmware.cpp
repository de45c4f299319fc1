// bench_ctu_firmware: a firmware update of a 1 MiB image through a unit's CTU port, from the
// command until the unit reports programming finished, and where the time goes.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_ctu_firmware [options]
//
// How it measures. It starts the real qorservice binary and qorsim on p0 playing one
// ctu_config unit, whose programming is cut to one progress event 1 ms after the image is in
// (qorsim's own time, reported apart). Each repetition connects the unit through the management
// port, opens its CTU port with the test CTU client and sends CMD_SET_FIRMWARE_FILE_AND_UPDATE
// for a 1 MiB image file (checksum kind 3): `download` is the time to the response (status 74,
// the whole image accepted), `programming` from there to EVENT_PROGRAMMING_FINISH; the unit
// then reboots and is connected again for the next repetition (not timed). Every repetition
// checks qorsim's count of bytes and images.
//
// Where the time goes, measured on the same connection in the same run:
//  - file checks: the same command for a 1 MiB file with a wrong CRC (status 71, nothing sent
//    to the unit): reading the file, checking its header and its CRC-32;
//  - streaming: download minus file checks, per 256-byte block;
//  - waits for the unit: CMD_SET_LINK_STATUS round trips, one unit transaction (four register
//    writes and the completion event) through the same server, against which a block is one
//    transaction with 65 words more.
// Baselines of the path, in the same run: raw AF_PACKET round trips across the veth with
// frames of a data block's size (278 bytes out, 60 back; the TLP register-read round trip of
// bench_tlp_read runs the same frames the other way), and the raw stop-and-wait throughput of
// full 1514-byte frames. Image bytes per second are printed against both.
//
// Options: --repetitions N (5 updates), --checks N (10 refused files per repetition),
//          --transactions N (100 per repetition), --raw N (2000 round trips of each size).
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

#include "bench_mng_common.h"
#include "bench_raw_socket.h"
#include "bench_stats.h"
#include "qor_ctu_client.h"
#include "qor_sim.h"

using namespace qorbench;
namespace mng = qortest::mng;
namespace ctu = qortest::ctu;

namespace {

constexpr qortest::Mac kUnit = {0x02, 0x00, 0x00, 0x00, 0x18, 0x21};
constexpr size_t kImageBytes = 1u << 20;
constexpr size_t kBlock = 256;
constexpr uint16_t kEchoEtherType = 0x88B5;  // local experimental: the service and qorsim ignore it

// Raw round trips veth0 -> p0 -> veth0: a frame of `out` bytes answered with `in` bytes.
class RawEcho {
  public:
    explicit RawEcho(const qortest::LabInfo& lab) {
        echo_ = std::thread([&lab, this] {
            qortest::RunInNetns(lab.PeerPids[0], [this, &lab] {
                RawSocket s;
                if (!s.Open(lab.PeerIfs[0], kEchoEtherType)) {
                    failed_ = true;
                    ready_ = true;
                    return;
                }
                peer_ = s.Own;
                ready_ = true;
                uint8_t buff[2048] = {}, answer[2048] = {};
                while (!stop_) {
                    const ssize_t n = s.Recv(buff, sizeof(buff), 100);
                    if (n < 20) continue;
                    qortest::Mac src{};
                    memcpy(src.data(), buff + 6, 6);
                    memcpy(answer + 14, buff + 14, 6);  // sequence tag and answer size
                    s.Send(src, answer, static_cast<size_t>(buff[18] | (buff[19] << 8)));
                }
            });
        });
        while (!ready_) std::this_thread::sleep_for(1ms);
        if (failed_ || !sock_.Open(lab.Veths[0], kEchoEtherType)) Die("bench_ctu_firmware: no echo sockets");
    }
    ~RawEcho() {
        stop_ = true;
        echo_.join();
    }
    double RoundTripUs(size_t out, size_t in) {
        uint8_t frame[2048] = {}, buff[2048];
        const uint32_t tag = ++seq_;
        memcpy(frame + 14, &tag, sizeof(tag));
        frame[18] = static_cast<uint8_t>(in);
        frame[19] = static_cast<uint8_t>(in >> 8);
        const auto t0 = Clock::now();
        if (!sock_.Send(peer_, frame, out)) Die("bench_ctu_firmware: echo send failed");
        ssize_t n;
        do n = sock_.Recv(buff, sizeof(buff), 500);
        while (n >= 18 && memcmp(buff + 14, &tag, sizeof(tag)) != 0);
        if (n < 0) Die("bench_ctu_firmware: the echo lost a frame");
        return Micros(Clock::now() - t0);
    }

  private:
    std::thread echo_;
    std::atomic<bool> ready_{false}, failed_{false}, stop_{false};
    qortest::Mac peer_{};
    RawSocket sock_;
    uint32_t seq_ = 0;
};

// The unit's CTU port once connected (a unit dropped by the periodic removal is waited for).
uint16_t ConnectUnit(mng::Client& c) {
    const auto deadline = Clock::now() + 10s;
    for (;;) {
        auto p = c.Request(mng::kVnConnect, mng::ConnectRecord(kUnit, std::string()));
        if (!p) Die("connect: no answer: " + c.Error());
        if (p->Hdr.Status == mng::kSuccess) {
            auto r = mng::DecodeConnectResult(p->Payload);
            if (!r || r->CtuPort == 0) Die("connect: no CTU port in " + mng::Describe(*p));
            return static_cast<uint16_t>(r->CtuPort);
        }
        if (Clock::now() > deadline) Die("connect: " + mng::Describe(*p));
        std::this_thread::sleep_for(20ms);
    }
}

ctu::Client OpenCtu(uint16_t port) {
    ctu::Client c;
    const auto deadline = Clock::now() + 2s;
    while (!c.Connect(port))
        if (Clock::now() > deadline) Die("CTU port " + std::to_string(port) + ": " + c.Error());
        else std::this_thread::sleep_for(5ms);
    return c;
}

double TimedStatus(ctu::Client& c, uint16_t code, const std::vector<uint8_t>& payload, uint16_t status) {
    const auto t0 = Clock::now();
    auto p = c.Request(code, payload, 30s);
    const auto t = Clock::now() - t0;
    if (!p || p->Hdr.Status != status)
        Die("command " + std::to_string(code) + ": " + (p ? ctu::Describe(*p) : c.Error()) + ", want status " +
            std::to_string(status));
    return Micros(t);
}

std::string WriteTemp(const std::string& dir, const char* name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir + "/" + name;
    if (!qortest::WriteFile(path, std::string(bytes.begin(), bytes.end()))) Die("cannot write " + path);
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    const long repetitions = Option(argc, argv, "--repetitions", 5);
    const long checks = Option(argc, argv, "--checks", 10);
    const long transactions = Option(argc, argv, "--transactions", 100);
    const long raw = Option(argc, argv, "--raw", 2000);
    if (repetitions < 1 || checks < 1 || transactions < 1 || raw < 1)
        Die("bench_ctu_firmware: every count must be at least 1");
    auto daemon = StartService();
    const qortest::LabInfo lab = qortest::LabInfo::FromEnv();
    if (lab.PeerPids.empty()) Die("bench_ctu_firmware: the lab needs a veth (qorlab --veths 1)");
    qortest::SimProcess sim;
    const std::string mac = qortest::MacString(kUnit);
    if (!sim.Start(QORSIM_PATH, lab.PeerPids[0], {"--unit", "ctu_config," + mac + "," + lab.PeerIfs[0]}))
        Die("qorsim: " + sim.Error());
    if (!sim.Ok("ctu-firmware " + mac + " steps 1") || !sim.Ok("ctu-firmware " + mac + " interval 1"))
        Die("qorsim: " + sim.LastAnswer());

    char dirTemplate[] = "/tmp/bench-ctu-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) Die("mkdtemp failed");
    ctu::Firmware fw;
    fw.Model = "VN-CFG1";
    fw.Image = ctu::PatternImage(kImageBytes);
    const std::string good = WriteTemp(dirTemplate, "image", ctu::BuildFirmware(fw));
    fw.Crc = 0;
    const std::string bad = WriteTemp(dirTemplate, "bad-crc", ctu::BuildFirmware(fw));

    mng::Client client = Connect();
    std::vector<double> downloadUs, programUs, totalUs, checkUs, transactionUs;
    for (long rep = 0; rep < repetitions; ++rep) {
        ctu::Client c = OpenCtu(ConnectUnit(client));
        for (long i = 0; i < checks; ++i)
            checkUs.push_back(TimedStatus(c, ctu::kFirmwareUpdate, ctu::Bytes(bad), ctu::kChecksumMismatch));
        for (long i = 0; i < transactions; ++i)
            transactionUs.push_back(TimedStatus(c, ctu::kSetLinkStatus, {static_cast<uint8_t>(i)}, ctu::kSuccess));
        const auto t0 = Clock::now();
        const double download = TimedStatus(c, ctu::kFirmwareUpdate, ctu::Bytes(good), ctu::kDownloadOk);
        for (;;) {
            auto ev = c.WaitEvent(5s);
            if (!ev) Die("no programming event: " + c.Error());
            if (ev->Hdr.Code == ctu::kEventProgramFinish) break;
            if (ev->Hdr.Code != ctu::kEventProgramOk) Die("unexpected event " + ctu::Describe(*ev));
        }
        const double total = Micros(Clock::now() - t0);
        downloadUs.push_back(download);
        totalUs.push_back(total);
        programUs.push_back(total - download);
        const std::string line = sim.Control("show " + mac);
        const std::string want = "ctu-fw=" + std::to_string(kImageBytes) + "/" + std::to_string(kImageBytes) + "/" +
                                 std::to_string(rep + 1);
        if (line.find(want) == std::string::npos) Die("qorsim did not take the image whole: " + line);
        if (!c.WaitClosed(5s)) Die("the unit was not disconnected after programming");
    }

    RawEcho echo(lab);
    std::vector<double> rawBlockUs, rawFullUs;
    for (long i = 0; i < raw; ++i) {
        rawBlockUs.push_back(echo.RoundTripUs(14 + 8 + 256, 60));
        rawFullUs.push_back(echo.RoundTripUs(1514, 60));
    }

    const double blocks = static_cast<double>(kImageBytes / kBlock);
    const double checkMs = Median(checkUs) / 1000, downloadMs = Median(downloadUs) / 1000;
    const double streamingMs = downloadMs - checkMs;
    const double perBlockUs = streamingMs * 1000 / blocks;
    const double rate = static_cast<double>(kImageBytes) / (Median(totalUs) / 1e6);
    const double rawRate = 1500.0 / (Median(rawFullUs) / 1e6);
    Figure("image_bytes", static_cast<double>(kImageBytes), "bytes", 0);
    Figure("image_blocks", blocks, "blocks", 0);
    Distribution("update_total", totalUs, "us");
    Distribution("download", downloadUs, "us");
    Distribution("programming", programUs, "us");
    Figure("update_rate", rate / 1024, "KiB/s");
    Figure("download_rate", static_cast<double>(kImageBytes) / (downloadMs / 1000) / 1024, "KiB/s");
    Distribution("file_checks", checkUs, "us");
    Figure("streaming", streamingMs, "ms");
    Figure("streaming_per_block", perBlockUs, "us");
    Distribution("unit_transaction_rtt", transactionUs, "us");
    Figure("block_to_transaction_ratio", perBlockUs / Median(transactionUs), "x", 2);
    Figure("waits_for_unit_share", 100.0 * blocks * Median(transactionUs) / 1000 / downloadMs, "%");
    Figure("file_checks_share", 100.0 * checkMs / downloadMs, "%", 2);
    Distribution("veth_raw_rtt_block_frame", rawBlockUs, "us");
    Figure("block_to_raw_rtt_ratio", perBlockUs / Median(rawBlockUs), "x", 1);
    Distribution("veth_raw_rtt_full_frame", rawFullUs, "us");
    Figure("veth_raw_stop_and_wait_rate", rawRate / 1024, "KiB/s");
    Figure("update_to_raw_rate_ratio", rate / rawRate, "x", 3);
    Figure("repetitions", static_cast<double>(totalUs.size()), "each", 0);
    unlink(good.c_str());
    unlink(bad.c_str());
    rmdir(dirTemplate);
    return 0;
}
