// The log's writer and reader against each other and against the record layout written out by
// hand: records on both sides of the writer's 8192-byte buffer, of its staging block and of the
// reader's blocks, cut files, and a large record cut short by a write error.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <libdeflate.h>

#include "common/fs.hpp"
#include "shard/wal_reader.hpp"
#include "shard/wal_replay.hpp"
#include "shard/wal_writer.hpp"
#include "support.hpp"

namespace vse::shard {
namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vse-wal-test-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

std::vector<std::uint8_t> file_bytes(const std::string& path) {
    std::vector<std::uint8_t> out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::uint8_t buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + n);
    ::close(fd);
    return out;
}

struct Rec {
    WalOp op;
    std::uint64_t doc_id;
    std::string payload;
    std::uint32_t n_vectors, dim;
    std::vector<float> values;
};

// The record as the file holds it, field by field.
void put_record(std::vector<std::uint8_t>& out, const Rec& r) {
    const std::size_t start = out.size();
    auto put = [&](const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        out.insert(out.end(), b, b + n);
    };
    const auto op = static_cast<std::uint8_t>(r.op);
    const auto plen = static_cast<std::uint32_t>(r.payload.size());
    put(&op, 1);
    put(&r.doc_id, 8);
    put(&plen, 4);
    put(r.payload.data(), r.payload.size());
    put(&r.n_vectors, 4);
    put(&r.dim, 4);
    put(r.values.data(), r.values.size() * 4);
    const std::uint32_t crc = static_cast<std::uint32_t>(libdeflate_crc32(0, out.data() + start, out.size() - start));
    put(&crc, 4);
}

// Records of every size class: the 25-byte delete, small inserts that share the buffer, records one
// byte either side of the buffer's size, and records larger than the reader's blocks.
std::vector<Rec> mixed_records() {
    test::Rng rng(7);
    std::vector<Rec> recs;
    const std::size_t value_counts[] = {0, 4, 100, 2041, 2042, 2000, 5, 70000, 3, 0, 150000, 2041, 1};
    std::uint64_t id = 1;
    for (std::size_t n : value_counts) {
        for (std::size_t plen : {std::size_t{0}, std::size_t{3}, std::size_t{1000}}) {
            Rec r{n ? WalOp::Insert : WalOp::Delete, id++, {}, n ? 1u : 0u, static_cast<std::uint32_t>(n), {}};
            if (n || plen) r.op = n ? WalOp::Insert : WalOp::UpdatePayload;
            r.payload.assign(plen, static_cast<char>('a' + id % 26));
            r.values = rng.floats(n, false);
            recs.push_back(std::move(r));
        }
    }
    return recs;
}

TEST(Wal, WrittenBytesAreTheRecordsInOrderAndReadBackWhole) {
    TempDir dir;
    const std::string path = dir.path + "/shard.wal";
    const std::vector<Rec> recs = mixed_records();
    std::vector<std::uint8_t> expected;
    {
        auto w = WalWriter::open(path);
        ASSERT_TRUE(w.has_value());
        for (const Rec& r : recs) {
            const std::optional<std::string_view> payload =
                r.payload.empty() ? std::nullopt : std::optional<std::string_view>(r.payload);
            ASSERT_TRUE(w->append(wal_record(r.op, r.doc_id, r.values, r.n_vectors, r.dim, payload)).has_value());
            put_record(expected, r);
        }
        ASSERT_TRUE(w->sync().has_value());
    }
    ASSERT_EQ(file_bytes(path), expected);

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    WalReader in(fd);
    WalRecord got;
    for (const Rec& r : recs) {
        ASSERT_TRUE(in.next(got));
        EXPECT_EQ(got.op, r.op);
        EXPECT_EQ(got.doc_id, r.doc_id);
        EXPECT_EQ(got.payload, r.payload);
        EXPECT_EQ(got.n_vectors, r.n_vectors);
        EXPECT_EQ(got.dim, r.dim);
        ASSERT_EQ(got.values.size(), r.values.size() * 4);
        if (!r.values.empty()) {
            EXPECT_EQ(0, std::memcmp(got.values.data(), r.values.data(), got.values.size()));
        }
    }
    EXPECT_FALSE(in.next(got));
    EXPECT_EQ(in.stop(), WalStop::End);
    EXPECT_EQ(in.good_len(), expected.size());
    ::close(fd);
}

// A file cut anywhere hands out exactly the records wholly before the cut.
TEST(Wal, CutFilesStopAtTheLastWholeRecord) {
    TempDir dir;
    const std::vector<Rec> recs = mixed_records();
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> ends;
    for (const Rec& r : recs) {
        put_record(bytes, r);
        ends.push_back(bytes.size());
    }
    std::vector<std::size_t> cuts = {0, 1, 12, 13};
    for (std::size_t e : ends)
        for (std::size_t d : {std::size_t{0}, std::size_t{1}, std::size_t{5}})
            if (e > d) cuts.push_back(e - d);
    const std::string path = dir.path + "/cut.wal";
    for (std::size_t cut : cuts) {
        SCOPED_TRACE(cut);
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::size_t written = 0;
        ASSERT_TRUE(write_fully(fd, bytes.data(), cut, &written).has_value());
        WalReader in(fd);
        WalRecord got;
        std::size_t n = 0;
        while (in.next(got)) ++n;
        std::size_t whole = 0;
        while (whole < ends.size() && ends[whole] <= cut) ++whole;
        EXPECT_EQ(n, whole);
        EXPECT_EQ(in.good_len(), whole ? ends[whole - 1] : 0);
        EXPECT_EQ(in.stop(), in.good_len() == cut ? WalStop::End : WalStop::Torn);
        ::close(fd);
    }
}

// Replay applies the records in file order: random inserts (both codes), deletes and payload
// updates over a few ids, against std::map as a model, with ids first seen in no particular order.
TEST(Wal, ReplayAppliesRecordsInFileOrder) {
    TempDir dir;
    const std::string path = dir.path + "/replay.wal";
    std::mt19937_64 rng(11);
    struct Doc {
        std::string payload;
        std::uint64_t rows;
    };
    std::map<std::uint64_t, Doc> model;
    const std::uint64_t ids[] = {90, 3, 77, 5, 1000000007, 0, 41, 18};
    {
        auto w = WalWriter::open(path);
        ASSERT_TRUE(w.has_value());
        const std::vector<float> values(6 * 4, 0.5f);
        for (int step = 0; step < 3000; ++step) {
            const std::uint64_t id = ids[rng() % std::size(ids)];
            // Appended, not "p" + ...: GCC 12 sees an overlapping copy in that insert (-Wrestrict).
            const std::string text = rng() % 4 ? std::string("p").append(std::to_string(step)) : "";
            const std::optional<std::string_view> payload = text.empty() ? std::nullopt : std::optional(std::string_view(text));
            switch (rng() % 5) {
                case 0:
                case 1: {
                    const auto rows = static_cast<std::uint32_t>(rng() % 7);
                    const WalOp op = rng() % 2 ? WalOp::Insert : WalOp::InsertAlt;
                    ASSERT_TRUE(w->append(wal_record(op, id, std::span(values).first(rows * 4), rows, 4, payload)));
                    model[id] = {text, rows};
                    break;
                }
                case 2:
                case 3:
                    ASSERT_TRUE(w->append(wal_record(WalOp::Delete, id, {}, 0, 0, std::nullopt)));
                    model.erase(id);
                    break;
                default:
                    ASSERT_TRUE(w->append(wal_record(WalOp::UpdatePayload, id, {}, 0, 0, payload)));
                    if (auto it = model.find(id); it != model.end()) it->second.payload = text;
            }
        }
        ASSERT_TRUE(w->sync());
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const WalReplay replay = wal_replay(fd, 4);
    ::close(fd);
    EXPECT_EQ(replay.stop, WalStop::End);
    ASSERT_EQ(replay.docs.size(), model.size());
    auto it = model.begin();
    replay.docs.for_each([&](std::uint64_t id, const DocEntry& e) {
        ASSERT_NE(it, model.end());
        EXPECT_EQ(id, it->first);
        EXPECT_EQ(e.payload ? *e.payload : std::string(), it->second.payload);
        EXPECT_EQ(e.payload == nullptr, it->second.payload.empty());
        EXPECT_EQ(e.row_end - e.row_start, it->second.rows);
        EXPECT_EQ(e.dim, 4u);
        EXPECT_EQ(e.shard_id, NO_SHARD);
        ++it;
    });
}

// A large record goes out in several writes of the writer's staging block. One that the file size
// limit cuts short in its second block is taken back whole, and the next record lands where it began.
TEST(Wal, LargeRecordCutShortByAWriteErrorIsTakenBack) {
    TempDir dir;
    const std::string path = dir.path + "/limited.wal";
    const Rec first{WalOp::Insert, 1, "a", 1, 4, {1, 2, 3, 4}};
    const Rec large{WalOp::Insert, 2, "b", 150000, 1, test::Rng(3).floats(150000, false)};  // 600 KB
    const Rec last{WalOp::UpdatePayload, 1, "c", 0, 0, {}};
    auto append = [](WalWriter& w, const Rec& r) {
        return w.append(wal_record(r.op, r.doc_id, r.values, r.n_vectors, r.dim, r.payload));
    };
    std::vector<std::uint8_t> expected;
    put_record(expected, first);
    put_record(expected, last);
    {
        auto w = WalWriter::open(path);
        ASSERT_TRUE(w.has_value());
        ASSERT_TRUE(append(*w, first).has_value());
        ASSERT_TRUE(w->flush().has_value());
        struct rlimit old;
        ::getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit low = old;
        low.rlim_cur = 400000;
        auto* previous = ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &low);
        const auto r = append(*w, large);
        ::setrlimit(RLIMIT_FSIZE, &old);
        ::signal(SIGXFSZ, previous);
        EXPECT_FALSE(r.has_value());
        ASSERT_TRUE(append(*w, last).has_value());
        ASSERT_TRUE(w->sync().has_value());
    }
    EXPECT_EQ(file_bytes(path), expected);
}

}  // namespace
}  // namespace vse::shard
