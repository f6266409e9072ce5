#include "input/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "test_util.h"

namespace quillon {
namespace {

std::string make_content(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return s;
}

class StreamTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  std::string path(const char* name) { return (dir.path() / name).string(); }
};

TEST_F(StreamTest, FileStreamsReadWriteTellSeek) {
  auto w = FileStream::open(path("f.bin"), FileStream::kWrite);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->write("hello world", 11), 11);
  EXPECT_EQ(w->tell(), 11);
  char c;
  EXPECT_EQ(w->read(&c, 1), -2);  // a writer cannot read
  EXPECT_EQ(w->close(), 0);

  auto r = FileStream::open(path("f.bin"), FileStream::kRead);
  ASSERT_TRUE(r);
  EXPECT_EQ(stream_size(*r), 11);
  EXPECT_EQ(r->tell(), 0);
  char buf[16] = {};
  EXPECT_EQ(r->read(buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(r->seek(-3, 2), 8);
  EXPECT_EQ(r->read(buf, 16), 3);
  EXPECT_EQ(std::string(buf, 3), "rld");
  EXPECT_EQ(r->read(buf, 16), 0);
  EXPECT_FALSE(r->read_failed());  // the end of a file is not an error
  EXPECT_EQ(r->seek(1, 7), -1);
  EXPECT_EQ(r->write("x", 1), -2);
  EXPECT_EQ(r->close(), 0);
  EXPECT_FALSE(FileStream::open(path("missing"), FileStream::kRead));
}

TEST_F(StreamTest, BaseStreamHasNoOperations) {
  ByteStream s;
  char c;
  EXPECT_EQ(s.read(&c, 1), -2);
  EXPECT_EQ(s.write(&c, 1), -2);
  EXPECT_EQ(s.tell(), -2);
  EXPECT_EQ(s.seek(0, 0), -2);
  EXPECT_EQ(s.close(), -2);
}

TEST_F(StreamTest, BufferSizeIsRoundedUpToEight) {
  dir.write("a", "abc");
  auto b = BufferedReader::create(FileStream::open(path("a"), FileStream::kRead), 13);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->buffer_size(), 16);
  EXPECT_FALSE(BufferedReader::create(nullptr, 8));
  EXPECT_FALSE(BufferedReader::create(FileStream::open(path("a"), FileStream::kRead), 0));
}

TEST_F(StreamTest, ReadByteWalksTheWholeFile) {
  std::string content = make_content(1000);
  dir.write("a", content);
  for (int64_t size : {1, 7, 64, 999, 1000, 4096}) {
    auto b = BufferedReader::create(FileStream::open(path("a"), FileStream::kRead), size);
    std::string got;
    for (int c; (c = b->read_byte()) >= 0;) got += static_cast<char>(c);
    EXPECT_EQ(got, content) << size;
    EXPECT_EQ(b->tell(), 1000);
  }
}

// The buffered reader must give the bytes and positions of the plain file
// stream for every read and every seek to a target inside the file.
TEST_F(StreamTest, BufferedReaderMatchesFileStreamOnRandomSequences) {
  const size_t kSize = 5000;
  std::string content = make_content(kSize);
  dir.write("a", content);
  const unsigned seed = 20261208;
  std::mt19937 rng(seed);
  for (int64_t size : {1, 5, 8, 13, 100, 4999, 5000, 8192}) {
    auto plain = FileStream::open(path("a"), FileStream::kRead);
    auto buffered = BufferedReader::create(FileStream::open(path("a"), FileStream::kRead), size);
    ASSERT_TRUE(plain && buffered);
    for (int step = 0; step < 2000; ++step) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " size " << size << " step " << step);
      int op = static_cast<int>(rng() % 4);
      if (op == 0) {
        int64_t target = static_cast<int64_t>(rng() % kSize);
        ASSERT_EQ(buffered->seek(target, 0), plain->seek(target, 0));
      } else if (op == 1) {
        int64_t here = plain->tell();
        int64_t delta = static_cast<int64_t>(rng() % kSize) - here;
        ASSERT_EQ(buffered->seek(delta, 1), plain->seek(delta, 1));
      } else if (op == 2) {
        int64_t back = -static_cast<int64_t>(rng() % kSize) - 1;
        ASSERT_EQ(buffered->seek(back, 2), plain->seek(back, 2));
      } else {
        size_t n = rng() % 300;
        std::vector<char> a(n + 1), b(n + 1);
        int64_t ga = plain->read(a.data(), static_cast<int64_t>(n));
        int64_t gb = buffered->read(b.data(), static_cast<int64_t>(n));
        ASSERT_EQ(gb, ga);
        ASSERT_EQ(std::string(b.data(), static_cast<size_t>(gb)),
                  std::string(a.data(), static_cast<size_t>(ga)));
      }
      ASSERT_EQ(buffered->tell(), plain->tell());
    }
  }
}

TEST_F(StreamTest, SeekAtOrBeyondTheEndOutsideTheWindowKeepsThePosition) {
  std::string content = make_content(100);
  dir.write("a", content);
  auto b = BufferedReader::create(FileStream::open(path("a"), FileStream::kRead), 16);
  char buf[10];
  ASSERT_EQ(b->read(buf, 10), 10);
  // Beyond the buffered window and nothing there to refill from.
  EXPECT_EQ(b->seek(100, 0), 10);
  EXPECT_EQ(b->seek(500, 0), 10);
  EXPECT_EQ(b->tell(), 10);
  ASSERT_EQ(b->read(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), content.substr(10, 3));
  // Within the window the end of the held bytes is a valid target.
  auto whole = BufferedReader::create(FileStream::open(path("a"), FileStream::kRead), 100);
  ASSERT_EQ(whole->read(buf, 1), 1);
  EXPECT_EQ(whole->seek(0, 2), 100);
  EXPECT_EQ(whole->read(buf, 1), 0);
  EXPECT_EQ(whole->seek(-5, 0), 100);  // a negative target is refused
  EXPECT_EQ(whole->seek(0, 3), -1);
}

TEST_F(StreamTest, CloseClosesTheInnerStream) {
  dir.write("a", "abc");
  auto b = BufferedReader::create(FileStream::open(path("a"), FileStream::kRead), 8);
  EXPECT_EQ(b->read_byte(), 'a');
  EXPECT_EQ(b->close(), 0);
  char c;
  EXPECT_EQ(b->read(&c, 1), 0);
  EXPECT_EQ(b->seek(0, 0), -1);
}

// A stream whose reads fail halfway, as a disk error would.
class FailingStream : public ByteStream {
 public:
  int64_t read(void* buffer, int64_t n) override {
    if (position_ >= 10) {
      failed_ = true;
      return -1;
    }
    int64_t take = std::min<int64_t>(n, 10 - position_);
    std::memset(buffer, 'x', static_cast<size_t>(take));
    position_ += take;
    return take;
  }
  int64_t tell() override { return position_; }
  int64_t seek(int64_t offset, int origin) override {
    if (origin == 0) position_ = offset;
    if (origin == 1) position_ += offset;
    if (origin == 2) position_ = 1000 + offset;
    return position_;
  }
  int close() override { return 0; }
  bool read_failed() const override { return failed_; }

 private:
  int64_t position_ = 0;
  bool failed_ = false;
};

TEST_F(StreamTest, ReadFailureIsRememberedThroughTheBufferedReader) {
  auto b = BufferedReader::create(std::make_unique<FailingStream>(), 4);
  int n = 0;
  while (b->read_byte() >= 0) ++n;
  EXPECT_EQ(n, 10);
  EXPECT_TRUE(b->read_failed());
}

}  // namespace
}  // namespace quillon
