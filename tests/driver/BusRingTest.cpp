#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include "FaultConfinement.h"
#include "cBusRing.h"
#include "cBusSegment.h"

namespace {

constexpr uint32_t kBus = 8;

BusFrame NumberedFrame(uint32_t number)
{
    BusFrame frame;
    frame.id = number & 0x7FF;
    frame.bitrate = 125;
    frame.length = 4;
    frame.data[0] = static_cast<uint8_t>(number);
    frame.data[1] = static_cast<uint8_t>(number >> 8);
    frame.data[2] = static_cast<uint8_t>(number >> 16);
    frame.data[3] = 0xA5;
    return frame;
}

uint32_t NumberOf(const BusFrame& frame)
{
    return frame.data[0] | frame.data[1] << 8 | frame.data[2] << 16;
}

class BusRing : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_writerSegment.Attach(kBus)) << m_writerSegment.LastError();
        ASSERT_TRUE(m_readerSegment.Attach(kBus)) << m_readerSegment.LastError();
        m_writer = std::make_unique<cBusRing>(m_writerSegment);
        m_reader = std::make_unique<cBusRing>(m_readerSegment);
    }

    void PublishNumbered(uint32_t first, uint32_t count)
    {
        for (uint32_t number = first; number < first + count; ++number) {
            m_writer->Publish(NumberedFrame(number));
        }
    }

    // The numbers of every frame readable from cursor on, with the drops counted on the way.
    std::vector<uint32_t> ReadAll(uint64_t& cursor, uint32_t window, uint64_t& dropped)
    {
        std::vector<uint32_t> numbers;
        BusFrame frame;
        while (m_reader->ReadNext(cursor, window, frame, dropped)) {
            numbers.push_back(NumberOf(frame));
        }
        return numbers;
    }

    // Two attachments, as two processes would have: the same bus mapped twice.
    cBusSegment m_writerSegment;
    cBusSegment m_readerSegment;
    std::unique_ptr<cBusRing> m_writer;
    std::unique_ptr<cBusRing> m_reader;
};

TEST_F(BusRing, ReaderGetsFramesInPublishOrderWithEveryField)
{
    uint64_t cursor = m_reader->Head();
    BusFrame sent;
    sent.id = 0x1ABCDEF0;
    sent.bitrate = 1000;
    sent.extended = true;
    sent.length = 8;
    for (uint8_t i = 0; i < 8; ++i) {
        sent.data[i] = static_cast<uint8_t>(0xF0 + i);
    }
    m_writer->Publish(sent);
    BusFrame remote;
    remote.id = 0x7FF;
    remote.bitrate = 10;
    remote.remote = true;
    remote.length = 3; // the DLC it asks for
    m_writer->Publish(remote);

    uint64_t dropped = 0;
    BusFrame got;
    ASSERT_TRUE(m_reader->ReadNext(cursor, kBusSlotCount, got, dropped));
    EXPECT_EQ(got.id, 0x1ABCDEF0u);
    EXPECT_EQ(got.bitrate, 1000u);
    EXPECT_TRUE(got.extended);
    EXPECT_FALSE(got.remote);
    EXPECT_EQ(got.length, 8);
    EXPECT_EQ(memcmp(got.data, sent.data, 8), 0);
    ASSERT_TRUE(m_reader->ReadNext(cursor, kBusSlotCount, got, dropped));
    EXPECT_EQ(got.id, 0x7FFu);
    EXPECT_EQ(got.bitrate, 10u);
    EXPECT_FALSE(got.extended);
    EXPECT_TRUE(got.remote);
    EXPECT_EQ(got.length, 3);
    EXPECT_FALSE(m_reader->ReadNext(cursor, kBusSlotCount, got, dropped));
    EXPECT_EQ(dropped, 0u);
}

// A failed attempt travels as an error entry: its frame's id and rate, its kind, no data.
TEST_F(BusRing, ErrorEntryCarriesItsKindAndMalformedOnesAreDropped)
{
    uint64_t cursor = m_reader->Head();
    BusFrame entry;
    entry.id = 0x1ABCDEF0;
    entry.extended = true;
    entry.bitrate = 500;
    entry.errorEntry = true;
    entry.errorKind = static_cast<uint8_t>(BusErrorKind::Ack);
    entry.endTime = 0x123456789ull;
    m_writer->Publish(entry);
    const struct
    {
        uint32_t format, dataLow, dataHigh;
    } forged[] = {
        {4u | 125u << 16, 5, 0},           // a kind no writer knows
        {4u | 1u << 8 | 125u << 16, 0, 0}, // an error entry with a length
        {4u | 2u | 125u << 16, 0, 0},      // a remote one
        {4u | 125u << 16, 0, 1},           // one with data
        {8u | 125u << 16, 0, 0},           // a bit no writer sets
    };
    BusRingShared& ring = m_writerSegment.Ring();
    for (const auto& slotWords : forged) {
        uint64_t ticket = ring.head.fetch_add(1);
        BusSlot& slot = ring.slots[ticket & kBusSlotMask];
        slot.id.store(0x123);
        slot.format.store(slotWords.format);
        slot.dataLow.store(slotWords.dataLow);
        slot.dataHigh.store(slotWords.dataHigh);
        slot.sequence.store(2 * ticket + 2);
    }

    uint64_t dropped = 0;
    BusFrame got;
    ASSERT_TRUE(m_reader->ReadNext(cursor, kBusSlotCount, got, dropped));
    EXPECT_TRUE(got.errorEntry);
    EXPECT_EQ(got.errorKind, static_cast<uint8_t>(BusErrorKind::Ack));
    EXPECT_EQ(got.id, 0x1ABCDEF0u);
    EXPECT_TRUE(got.extended);
    EXPECT_EQ(got.bitrate, 500u);
    EXPECT_EQ(got.length, 0);
    EXPECT_EQ(got.endTime, 0x123456789ull);
    EXPECT_FALSE(m_reader->ReadNext(cursor, kBusSlotCount, got, dropped));
    EXPECT_EQ(dropped, std::size(forged));
}

TEST_F(BusRing, ReaderStartingAtHeadSeesOnlyLaterFrames)
{
    PublishNumbered(1, 5);
    uint64_t cursor = m_reader->Head();
    PublishNumbered(6, 2);
    uint64_t dropped = 0;
    EXPECT_EQ(ReadAll(cursor, kBusSlotCount, dropped), (std::vector<uint32_t>{6, 7}));
}

TEST_F(BusRing, ReaderFartherBehindThanItsWindowSkipsTheOldestAndCountsThem)
{
    uint64_t cursor = m_reader->Head();
    PublishNumbered(0, 1000);
    uint64_t dropped = 0;
    std::vector<uint32_t> numbers = ReadAll(cursor, 250, dropped);
    EXPECT_EQ(dropped, 750u);
    ASSERT_EQ(numbers.size(), 250u);
    EXPECT_EQ(numbers.front(), 750u);
    EXPECT_EQ(numbers.back(), 999u);
}

// Another member moved the head 20,000 tickets ahead that nobody claimed: only the published frames
// skipped count as dropped.
TEST_F(BusRing, HeadMovedAheadCountsOnlyPublishedFramesAsDropped)
{
    uint64_t cursor = m_reader->Head();
    PublishNumbered(0, 100);
    m_writerSegment.Ring().head.fetch_add(20000);
    PublishNumbered(100, 300);
    uint64_t dropped = 0;
    std::vector<uint32_t> numbers = ReadAll(cursor, 250, dropped);
    EXPECT_EQ(dropped, 150u);
    ASSERT_EQ(numbers.size(), 250u);
    EXPECT_EQ(numbers.front(), 150u);
    EXPECT_EQ(numbers.back(), 399u);
}

TEST_F(BusRing, ReaderLappedByTheRingResumesAtTheOldestFrameLeft)
{
    uint64_t cursor = m_reader->Head();
    PublishNumbered(0, kBusSlotCount + 10);
    uint64_t dropped = 0;
    std::vector<uint32_t> numbers = ReadAll(cursor, kBusSlotCount, dropped);
    EXPECT_EQ(dropped, 10u);
    ASSERT_EQ(numbers.size(), kBusSlotCount);
    EXPECT_EQ(numbers.front(), 10u);
    EXPECT_EQ(numbers.back(), kBusSlotCount + 9);
}

// Every byte of frame n is derived from n, so a frame mixed from two writes shows.
BusFrame SelfCheckingFrame(uint32_t number)
{
    BusFrame frame;
    frame.id = number & 0x7FF;
    frame.bitrate = 125;
    frame.length = 8;
    for (uint32_t i = 0; i < 8; ++i) {
        frame.data[i] = static_cast<uint8_t>((number >> (i % 4 * 8)) ^ (i * 0x11));
    }
    return frame;
}

uint32_t NumberOfSelfChecking(const BusFrame& frame)
{
    return frame.data[0] | (frame.data[1] ^ 0x11) << 8 | (frame.data[2] ^ 0x22) << 16 |
           static_cast<uint32_t>(frame.data[3] ^ 0x33) << 24;
}

TEST_F(BusRing, ReaderRacingTheWriterNeverGetsATornFrame)
{
    constexpr uint32_t kFrames = 300000;
    uint64_t cursor = m_reader->Head();
    std::thread writer([this] {
        for (uint32_t number = 0; number < kFrames; ++number) {
            m_writer->Publish(SelfCheckingFrame(number));
        }
    });
    uint64_t received = 0;
    uint64_t dropped = 0;
    uint64_t torn = 0;
    int64_t previous = -1;
    BusFrame frame;
    // A small window makes the reader skip and race the writer for the same slots.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received + dropped < kFrames && std::chrono::steady_clock::now() < deadline) {
        if (!m_reader->ReadNext(cursor, 64, frame, dropped)) {
            continue;
        }
        uint32_t number = NumberOfSelfChecking(frame);
        BusFrame expected = SelfCheckingFrame(number);
        torn += memcmp(frame.data, expected.data, 8) != 0 || frame.id != expected.id ||
                static_cast<int64_t>(number) <= previous;
        previous = number;
        ++received;
    }
    writer.join();
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(received + dropped, kFrames);
    EXPECT_GT(received, 0u);
}

TEST_F(BusRing, FrameBeingWrittenIsInvisibleUntilPublished)
{
    uint64_t cursor = m_reader->Head();
    uint64_t ticket = m_writer->BeginPublish(NumberedFrame(42));
    EXPECT_EQ(ticket, cursor);
    uint64_t dropped = 0;
    BusFrame got;
    EXPECT_FALSE(m_reader->ReadNext(cursor, kBusSlotCount, got, dropped));
    m_writer->FinishPublish(ticket);
    ASSERT_TRUE(m_reader->ReadNext(cursor, kBusSlotCount, got, dropped));
    EXPECT_EQ(NumberOf(got), 42u);
    EXPECT_EQ(dropped, 0u);
}

TEST_F(BusRing, OtherBusesShareNothing)
{
    cBusSegment otherSegment;
    ASSERT_TRUE(otherSegment.Attach(kBus + 1)) << otherSegment.LastError();
    cBusRing other(otherSegment);
    uint64_t otherCursor = other.Head();
    PublishNumbered(1, 3);
    uint64_t dropped = 0;
    BusFrame got;
    EXPECT_FALSE(other.ReadNext(otherCursor, kBusSlotCount, got, dropped));
}

bool LockFileExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

TEST(BusSegment, LastMemberToLeaveRemovesTheSegmentAndTheLockFile)
{
    std::string path = cBusSegment::LockFilePath(kBus);
    int segmentId = -1;
    {
        cBusSegment segment;
        ASSERT_TRUE(segment.Attach(kBus)) << segment.LastError();
        int fd = open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pread(fd, &segmentId, sizeof(segmentId), 8), static_cast<ssize_t>(sizeof(segmentId)));
        close(fd);
        shmid_ds status{};
        ASSERT_EQ(shmctl(segmentId, IPC_STAT, &status), 0);
        EXPECT_EQ(status.shm_perm.mode & 0777, 0600u);
    }
    shmid_ds status{};
    EXPECT_EQ(shmctl(segmentId, IPC_STAT, &status), -1);
    EXPECT_FALSE(LockFileExists(path));
}

// A newcomer that opened the lock file just before the last member removed it, and got the lock just
// after, must use the bus's new file: else it and every later member would be on two different buses.
TEST(BusSegment, NewcomerHoldingARemovedLockFileUsesTheNewOne)
{
    std::string path = cBusSegment::LockFilePath(kBus);
    int held = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(held, 0);
    struct flock range
    {
    };
    range.l_type = F_WRLCK;
    range.l_len = 1;
    ASSERT_EQ(fcntl(held, F_OFD_SETLK, &range), 0);
    cBusSegment late;
    std::thread attaching([&late] { late.Attach(kBus); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // it opens the file and waits
    unlink(path.c_str());
    close(held);
    attaching.join();
    ASSERT_TRUE(late.IsAttached()) << late.LastError();

    cBusSegment next;
    ASSERT_TRUE(next.Attach(kBus)) << next.LastError();
    cBusRing sender(next);
    cBusRing receiver(late);
    uint64_t cursor = receiver.Head();
    sender.Publish(NumberedFrame(9));
    uint64_t dropped = 0;
    BusFrame got;
    ASSERT_TRUE(receiver.ReadNext(cursor, kBusSlotCount, got, dropped));
    EXPECT_EQ(NumberOf(got), 9u);
}

TEST(BusSegment, SegmentOfAnotherLayoutLeftBehindIsRebuilt)
{
    std::string path = cBusSegment::LockFilePath(kBus);
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> garbage(4096, 0xAB);
    ASSERT_EQ(write(fd, garbage.data(), garbage.size()), static_cast<ssize_t>(garbage.size()));
    close(fd);

    cBusSegment segment;
    ASSERT_TRUE(segment.Attach(kBus)) << segment.LastError();
    cBusRing ring(segment);
    EXPECT_EQ(ring.Head(), 0u);
    uint64_t cursor = ring.Head();
    ring.Publish(NumberedFrame(7));
    uint64_t dropped = 0;
    BusFrame got;
    ASSERT_TRUE(ring.ReadNext(cursor, kBusSlotCount, got, dropped));
    EXPECT_EQ(NumberOf(got), 7u);
}

// The lock file's record as the driver writes it: magic, segment id, creator pid, proof, pending key.
constexpr off_t kRecordSegmentId = 8;
constexpr off_t kRecordCreator = 12;
constexpr off_t kRecordPendingKey = 32;

template <typename Word> void PutRecordWord(const std::string& path, off_t offset, Word value)
{
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, &value, sizeof(value), offset), static_cast<ssize_t>(sizeof(value)));
    close(fd);
}

// The fixed words that open every segment of this layout, which anyone may read in the source.
constexpr size_t kPublicHeaderBytes = 24;

// The bus's segment size and public header, from a bus made and left again; its lock file is put back,
// as a member killed before leaving would have left it.
size_t StaleBusLeavingItsLockFile(const std::string& path, uint8_t (&header)[kPublicHeaderBytes])
{
    cBusSegment segment;
    EXPECT_TRUE(segment.Attach(kBus)) << segment.LastError();
    char record[64] = {};
    int fd = open(path.c_str(), O_RDONLY);
    ssize_t length = pread(fd, record, sizeof(record), 0);
    close(fd);
    int id = -1;
    memcpy(&id, record + kRecordSegmentId, sizeof(id));
    shmid_ds status{};
    EXPECT_EQ(shmctl(id, IPC_STAT, &status), 0);
    void* mapped = shmat(id, nullptr, SHM_RDONLY);
    memcpy(header, mapped, sizeof(header));
    shmdt(mapped);
    segment.Detach();
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, record, static_cast<size_t>(length)), length);
    close(fd);
    return status.shm_segsz;
}

// What an outsider can recreate (id, creator pid, owner, mode, size) is no proof: a look-alike segment
// that someone holds attached is refused, and one nobody holds is left alone for a new bus.
TEST(BusSegment, LookAlikeSegmentWithoutTheProofIsNeverJoined)
{
    std::string path = cBusSegment::LockFilePath(kBus);
    uint8_t header[kPublicHeaderBytes];
    size_t size = StaleBusLeavingItsLockFile(path, header);
    int lookAlike = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    ASSERT_GE(lookAlike, 0);
    void* watching = shmat(lookAlike, nullptr, 0);
    ASSERT_NE(watching, reinterpret_cast<void*>(-1));
    memcpy(watching, header, sizeof(header));
    shmctl(lookAlike, IPC_RMID, nullptr);
    PutRecordWord(path, kRecordSegmentId, int32_t{lookAlike});
    PutRecordWord(path, kRecordCreator, static_cast<int32_t>(getpid()));

    cBusSegment refused;
    EXPECT_FALSE(refused.Attach(kBus));
    EXPECT_NE(refused.LastError().find("was not made for this bus"), std::string::npos)
        << refused.LastError();

    shmdt(watching);
    int lookAlikeUnwatched = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    ASSERT_GE(lookAlikeUnwatched, 0);
    PutRecordWord(path, kRecordSegmentId, int32_t{lookAlikeUnwatched});
    cBusSegment fresh;
    ASSERT_TRUE(fresh.Attach(kBus)) << fresh.LastError();
    shmid_ds status{};
    ASSERT_EQ(shmctl(lookAlikeUnwatched, IPC_STAT, &status), 0);
    EXPECT_EQ(status.shm_nattch, 0u);
    shmctl(lookAlikeUnwatched, IPC_RMID, nullptr);
}

// An opener killed between making the segment and marking it for removal leaves a segment that would
// count against kernel.shmmni for good; the next opener removes it through the key in the record.
TEST(BusSegment, UnfinishedSegmentOfAKilledCreatorIsRemovedByTheNextOpener)
{
    std::string path = cBusSegment::LockFilePath(kBus);
    uint8_t header[kPublicHeaderBytes];
    size_t size = StaleBusLeavingItsLockFile(path, header);
    key_t key = 0x5a17e000 + static_cast<key_t>(getpid() & 0xFFF);
    int unfinished = shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(unfinished, 0) << strerror(errno);
    PutRecordWord(path, kRecordPendingKey, int32_t{key});

    cBusSegment next;
    ASSERT_TRUE(next.Attach(kBus)) << next.LastError();
    shmid_ds status{};
    bool left = shmctl(unfinished, IPC_STAT, &status) == 0;
    EXPECT_FALSE(left);
    if (left) {
        shmctl(unfinished, IPC_RMID, nullptr);
    }
}

TEST(BusSegment, NamespaceSelectsPrivateBusesAndRefusesOddNames)
{
    std::string space = getenv("RVCAN32CE_NAMESPACE");
    std::string user = "-u" + std::to_string(geteuid());
    EXPECT_EQ(cBusSegment::SegmentName(3), "/rvcan32ce-" + space + user + "-bus-3-v5");
    setenv("RVCAN32CE_NAMESPACE", "../x", 1);
    EXPECT_EQ(cBusSegment::SegmentName(3), "");
    cBusSegment segment;
    EXPECT_FALSE(segment.Attach(3));
    EXPECT_EQ(segment.LastError(), "RVCAN32CE_NAMESPACE: at most 32 letters, digits, '-' or '_'");
    setenv("RVCAN32CE_NAMESPACE", "", 1);
    EXPECT_EQ(cBusSegment::SegmentName(3), "/rvcan32ce" + user + "-bus-3-v5");
    setenv("RVCAN32CE_NAMESPACE", space.c_str(), 1);
}

} // namespace
