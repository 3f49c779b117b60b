#include "PeriodicLooks.h"
#include "fakes/store/StoreFixture.h"

#include <atomic>
#include <condition_variable>
#include <sys/eventfd.h>
#include <unistd.h>

namespace larkhold::test {
namespace {

using namespace std::chrono_literals;

// What each subject's look finds, set by the test; the subject "stuck" waits until it is let go.
struct World {
    std::mutex mutex;
    std::condition_variable letGo;
    QHash<QString, int> values;
    QHash<QString, int> looks;
    bool stuck = true;

    int look(const QString& subject) {
        std::unique_lock lock(mutex);
        ++looks[subject];
        if (subject == QStringLiteral("stuck"))
            letGo.wait(lock, [this] { return !stuck; });
        return values.value(subject);
    }
    int looksAt(const QString& subject) {
        const std::lock_guard lock(mutex);
        return looks.value(subject);
    }
    void set(const QString& subject, int value) {
        const std::lock_guard lock(mutex);
        values[subject] = value;
    }
};

struct Told {
    QList<std::pair<QUuid, int>> answers;
    QList<QUuid> late;
    int last(const QUuid& id) const {
        for (auto it = answers.crbegin(); it != answers.crend(); ++it)
            if (it->first == id)
                return it->second;
        return -1;
    }
};

// Looks at the world every 5 ms; what they tell goes to `told`.
std::unique_ptr<PeriodicLooks<QString, int>> looksAt(const std::shared_ptr<World>& world, Told& told,
                                                     std::chrono::milliseconds deadline) {
    return std::make_unique<PeriodicLooks<QString, int>>(
        [world](const QString& subject) { return world->look(subject); }, 5ms, deadline,
        [&told](const QHash<QUuid, int>& answers) {
            for (auto it = answers.cbegin(); it != answers.cend(); ++it)
                told.answers.append({it.key(), it.value()});
        },
        [&told](const QUuid& id) { told.late.append(id); });
}

TEST(PeriodicLooks, TellsOnlyWhatChangedAndALookThatHangsHoldsUpNoOther) {
    auto world = std::make_shared<World>();
    Told told;
    auto looks = looksAt(world, told, 60s);
    const QUuid a = QUuid::createUuid();
    const QUuid b = QUuid::createUuid();
    world->set(QStringLiteral("a"), 1);
    looks->setSubjects({{a, QStringLiteral("a")}});
    ASSERT_TRUE(waitUntil([&] { return told.last(a) == 1; }));
    const int lookedAt = world->looksAt(QStringLiteral("a"));
    ASSERT_TRUE(waitUntil([&] { return world->looksAt(QStringLiteral("a")) > lookedAt + 3; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(told.answers.size(), 1) << "rounds that found the same were told";
    world->set(QStringLiteral("a"), 2);
    ASSERT_TRUE(waitUntil([&] { return told.last(a) == 2; }));

    // A look that does not answer in time is told as late; the others go on, and it is not asked twice.
    looks->setDeadline(100ms);
    const QUuid stuck = QUuid::createUuid();
    looks->setSubjects({{a, QStringLiteral("a")}, {stuck, QStringLiteral("stuck")}, {b, QStringLiteral("b")}});
    ASSERT_TRUE(waitUntil([&] { return told.late.contains(stuck); }));
    world->set(QStringLiteral("b"), 7);
    ASSERT_TRUE(waitUntil([&] { return told.last(b) == 7; }));
    world->set(QStringLiteral("a"), 3);
    ASSERT_TRUE(waitUntil([&] { return told.last(a) == 3; }));
    EXPECT_EQ(world->looksAt(QStringLiteral("stuck")), 1);
    EXPECT_EQ(told.last(stuck), -1);

    // Its answer, once it comes, is told even though nothing was known to differ from.
    world->set(QStringLiteral("stuck"), 0);
    {
        const std::lock_guard lock(world->mutex);
        world->stuck = false;
    }
    world->letGo.notify_all();
    ASSERT_TRUE(waitUntil([&] { return told.last(stuck) == 0; }));
    ASSERT_TRUE(waitUntil([&] { return world->looksAt(QStringLiteral("stuck")) > 1; })) << "looked at again";
}

TEST(PeriodicLooks, WhatARoundFoundBeforeALookThatHangsIsToldAllTheSame) {
    auto world = std::make_shared<World>();
    Told told;
    auto looks = looksAt(world, told, 100ms);
    // Enough subjects that some are looked at before the one that hangs, in the same round.
    QHash<QUuid, QString> subjects;
    for (int i = 1; i <= 8; ++i) {
        world->set(QString::number(i), i);
        subjects.insert(QUuid::createUuid(), QString::number(i));
    }
    const QUuid stuck = QUuid::createUuid();
    subjects.insert(stuck, QStringLiteral("stuck"));
    looks->setSubjects(subjects);
    ASSERT_TRUE(waitUntil([&] { return told.late.contains(stuck); }));
    subjects.remove(stuck);
    for (auto it = subjects.cbegin(); it != subjects.cend(); ++it)
        ASSERT_TRUE(waitUntil([&] { return told.last(it.key()) == it.value().toInt(); })) << "lost: " << it->toStdString();
    {
        const std::lock_guard lock(world->mutex);
        world->stuck = false;
    }
    world->letGo.notify_all();
    ASSERT_TRUE(waitUntil([&] { return told.last(stuck) == 0; }));
}

TEST(PeriodicLooks, AnAnswerAboutASubjectThatLeftOrWasForgottenIsHandledAsNew) {
    auto world = std::make_shared<World>();
    Told told;
    auto looks = looksAt(world, told, 60s);
    const QUuid a = QUuid::createUuid();
    world->set(QStringLiteral("a"), 4);
    looks->setSubjects({{a, QStringLiteral("a")}});
    ASSERT_TRUE(waitUntil([&] { return told.answers.size() == 1; }));
    looks->forget(a);
    ASSERT_TRUE(waitUntil([&] { return told.answers.size() == 2; })) << "a forgotten answer is told again";
    looks->setSubjects({});
    looks->setSubjects({{a, QStringLiteral("a")}});
    ASSERT_TRUE(waitUntil([&] { return told.answers.size() == 3; })) << "a subject that came back is new";
    // Gone with answers perhaps on their way: nothing is told to the one who left.
    looks.reset();
    QCoreApplication::processEvents();
}

// A subject the watch vouches for is not looked at; once it vouches for every one no round is taken, and a word
// on its file, or a forgotten answer, brings the rounds back.
TEST(PeriodicLooks, ASubjectTheWatchVouchesForIsNotLookedAtUntilItsWordComes) {
    auto world = std::make_shared<World>();
    Told told;
    auto looks = looksAt(world, told, 60s);
    auto vouched = std::make_shared<std::pair<std::mutex, QSet<QString>>>();
    const auto vouch = [&](QSet<QString> subjects) {
        const std::lock_guard lock(vouched->first);
        vouched->second = std::move(subjects);
    };
    const int word = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(word, 0);
    auto reads = std::make_shared<std::atomic<int>>(0);
    looks->setWatch({{{word, POLLIN, 0}},
                     [word, reads](const std::vector<pollfd>&) {
                         std::uint64_t count = 0;
                         if (::read(word, &count, sizeof count) == sizeof count)
                             ++*reads;
                     },
                     [vouched](const QString& subject) {
                         const std::lock_guard lock(vouched->first);
                         return vouched->second.contains(subject);
                     }});
    const QUuid a = QUuid::createUuid(), b = QUuid::createUuid();
    vouch({QStringLiteral("a")});
    looks->setSubjects({{a, QStringLiteral("a")}, {b, QStringLiteral("b")}});
    ASSERT_TRUE(waitUntil([&] { return world->looksAt(QStringLiteral("b")) > 5; }));
    EXPECT_EQ(world->looksAt(QStringLiteral("a")), 1) << "only the first look, which no answer known stood for";

    vouch({QStringLiteral("a"), QStringLiteral("b")});
    ASSERT_TRUE(waitUntil([&] { return looks->resting(); }));
    world->set(QStringLiteral("a"), 7);
    vouch({QStringLiteral("b")});
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(word, &one, sizeof one), qint64(sizeof one));
    ASSERT_TRUE(waitUntil([&] { return told.last(a) == 7; })) << "the word of a change is heeded";
    EXPECT_GE(reads->load(), 1);

    vouch({QStringLiteral("a"), QStringLiteral("b")});
    ASSERT_TRUE(waitUntil([&] { return looks->resting(); }));
    world->set(QStringLiteral("b"), 3);
    looks->forget(b);
    ASSERT_TRUE(waitUntil([&] { return told.last(b) == 3; })) << "a forgotten answer is looked for again";
    looks.reset();
    QCoreApplication::processEvents();
    ::close(word);
}

} // namespace
} // namespace larkhold::test
