// The outbox file: sequence numbers across reopenings, acknowledgements,
// a cut tail, the lock against a second user, and the rewrite.
#include "mqtt/outbox.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::mqtt {
namespace {

QByteArray payloadFor(std::uint64_t seq) { return "{\"seq\":" + QByteArray::number(seq) + "}"; }

class OutboxTest : public ::testing::Test {
protected:
  void SetUp() override { path = dir.filePath(QStringLiteral("mqtt-outbox")); }
  QByteArray bytes() {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
  }
  QTemporaryDir dir;
  QString path;
};

TEST_F(OutboxTest, UnacknowledgedMessagesComeBackInOrderAndSeqCarriesOn) {
  {
    Outbox box;
    ASSERT_TRUE(box.open(path).ok());
    for (int i = 0; i < 5; ++i) ASSERT_EQ(*box.append(QStringLiteral("t/\ttab"), payloadFor), std::uint64_t(i + 1));
    ASSERT_TRUE(box.acknowledge(2).ok());
    EXPECT_EQ(box.queued(), 3u);
    EXPECT_EQ(box.after(0)->seq, 3u);  // acknowledged ones are not offered again
    EXPECT_EQ(box.after(4)->seq, 5u);
    EXPECT_FALSE(box.after(5));
  }
  Outbox box;
  ASSERT_TRUE(box.open(path).ok());
  EXPECT_EQ(box.ackedSeq(), 2u);
  EXPECT_EQ(box.lastSeq(), 5u);
  const auto first = box.after(box.ackedSeq());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->seq, 3u);
  EXPECT_EQ(first->topic, QStringLiteral("t/\ttab"));
  EXPECT_EQ(first->payload, payloadFor(3));
  ASSERT_TRUE(box.acknowledge(5).ok());
  box.close();
  // Everything acknowledged: the reopened file is short and the seq goes on.
  ASSERT_TRUE(box.open(path).ok());
  EXPECT_EQ(box.queued(), 0u);
  EXPECT_EQ(*box.append(QStringLiteral("t"), payloadFor), 6u);
  EXPECT_EQ(bytes().count('\n'), 3);  // header, "a 5", the new message
}

TEST_F(OutboxTest, ACutTailIsDroppedAndADamagedLineEndsTheReading) {
  struct Case {
    const char* name;
    QByteArray tail;
    std::uint64_t lastSeq;
  };
  const Case cases[] = {
      {"line without its line feed", "m\t3\tt\t{\"seq\":3", 2},
      {"garbage line", "zz\n", 2},
      {"seq out of order", "m\t7\tt\t{}\n", 2},
      {"ack going back", "a\t0\n", 2},
      {"nothing cut", "", 2},
  };
  for (const Case& c : cases) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("kestrune-mqtt-outbox\t1\na\t1\nm\t2\tt\t{\"seq\":2}\n" + c.tail);
    f.close();
    Outbox box;
    ASSERT_TRUE(box.open(path).ok()) << c.name;
    EXPECT_EQ(box.lastSeq(), c.lastSeq) << c.name;
    EXPECT_EQ(box.queued(), 1u) << c.name;
    EXPECT_EQ(*box.append(QStringLiteral("t"), payloadFor), c.lastSeq + 1) << c.name;
  }
  // Not an outbox at all: refused, and left alone.
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write("something else\n");
  f.close();
  Outbox box;
  EXPECT_FALSE(box.open(path).ok());
  EXPECT_EQ(bytes(), "something else\n");
}

TEST_F(OutboxTest, ASecondUserIsRefusedWhileTheFirstHasIt) {
  Outbox first;
  ASSERT_TRUE(first.open(path).ok());
  Outbox second;
  const Status refused = second.open(path);
  ASSERT_FALSE(refused.ok());
  EXPECT_TRUE(refused.error().is(MqttError::OutboxInUse));
  EXPECT_TRUE(refused.description().contains(QStringLiteral("別の kestrune"))) << refused.description().toStdString();
  first.close();
  EXPECT_TRUE(second.open(path).ok());
}

TEST_F(OutboxTest, AnUnwritableFolderFailsTheOpen) {
  if (::geteuid() == 0) {
    // root writes anywhere: a path below a file cannot be created by anyone.
    QFile f(dir.filePath(QStringLiteral("plain")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    Outbox box;
    EXPECT_FALSE(box.open(dir.filePath(QStringLiteral("plain/mqtt-outbox"))).ok());
    return;
  }
  QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
  Outbox box;
  EXPECT_FALSE(box.open(path).ok());
  QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// Links and pipes planted at the outbox's place or its new file's: the open
// neither writes through them nor waits on them.
TEST_F(OutboxTest, LinksAndPipesAtItsPlaceAreNeverWrittenThrough) {
  const QString target = dir.filePath(QStringLiteral("precious"));
  const QString fresh = path + QStringLiteral(".new");
  const QByteArray kept = "not an outbox, not ours\n";
  struct Case {
    const char* what;
    QString at;
    bool link;          // a link to `target`, else a named pipe
    bool targetExists;  // for a link
    bool opens;
  };
  const Case cases[] = {
      {"a link at the new file", fresh, true, true, true},
      {"a dangling link at the new file", fresh, true, false, true},
      {"a pipe at the new file", fresh, false, false, true},
      {"a link at the outbox", path, true, true, false},
      {"a dangling link at the outbox", path, true, false, false},
      {"a pipe at the outbox", path, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const QString& leftover : {path, fresh, target}) QFile::remove(leftover);
    if (c.targetExists) {
      QFile f(target);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(kept);
    }
    ASSERT_TRUE(c.link ? QFile::link(target, c.at) : ::mkfifo(QFile::encodeName(c.at).constData(), 0600) == 0);
    Outbox box;
    const Status opened = box.open(path);
    EXPECT_EQ(opened.ok(), c.opens) << opened.description().toStdString();
    if (!c.opens) {
      EXPECT_TRUE(opened.error().is(MqttError::OutboxUnusable));
      EXPECT_TRUE(opened.description().contains(path)) << opened.description().toStdString();
      EXPECT_TRUE(opened.description().contains(c.link ? QStringLiteral("シンボリックリンク")
                                                       : QStringLiteral("通常のファイルではありません")))
          << opened.description().toStdString();
    } else {
      ASSERT_TRUE(box.append(QStringLiteral("t"), payloadFor).ok());
      EXPECT_TRUE(QFileInfo(path).isFile() && !QFileInfo(path).isSymLink());
      EXPECT_TRUE(bytes().endsWith(payloadFor(1) + '\n'));
    }
    box.close();
    QFile t(target);
    if (c.targetExists) {
      ASSERT_TRUE(t.open(QIODevice::ReadOnly));
      EXPECT_EQ(t.readAll(), kept) << "the link's target is untouched";
    } else {
      EXPECT_FALSE(t.exists()) << "nothing was created at the link's target";
    }
  }
}

}  // namespace
}  // namespace kestrune::mqtt
