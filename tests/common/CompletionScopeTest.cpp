// The completion scope every engine holds around its entry points, and the
// frame stack of the loops that call out.

#include "common/CompletionScope.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/AliveGuard.h"
#include "common/IntrusiveList.h"

namespace {

using ::testing::ElementsAre;

// An owner that deletes itself on its last release, as a COM object does, and
// records the moment in the shared log.
class Owner final : public IUnknown {
public:
    Owner(std::vector<std::string>& log, std::unique_ptr<CompletionQueue>* engine)
        : m_log(log), m_engine(engine) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++m_count; }
    ULONG Release() override {
        const ULONG count = --m_count;
        if (count == 0) {
            m_log.push_back("destroyed");
            m_engine->reset();
            delete this;
        }
        return count;
    }

private:
    ~Owner() = default;
    std::vector<std::string>& m_log;
    std::unique_ptr<CompletionQueue>* m_engine;
    ULONG m_count = 1;
};

TEST(CompletionScope, CompletionsWaitForTheOutermostScopeAndFireInOrder) {
    CompletionQueue queue;
    std::vector<std::string> log;
    {
        CompletionScope outer(queue);
        queue.Post([&] { log.push_back("a"); });
        {
            CompletionScope inner(queue);  // the engine calling one of its own entry points
            queue.Post([&] { log.push_back("b"); });
        }
        EXPECT_TRUE(log.empty());
        queue.Post([&] { log.push_back("c"); });
        EXPECT_TRUE(log.empty());
    }
    EXPECT_THAT(log, ElementsAre("a", "b", "c"));
    queue.Post([&] { log.push_back("d"); });  // outside any scope: at once
    EXPECT_THAT(log, ElementsAre("a", "b", "c", "d"));
    EXPECT_FALSE(queue.InScope());
}

TEST(CompletionScope, ACallFromACompletionFiresAfterTheOnesStillWaiting) {
    CompletionQueue queue;
    std::vector<std::string> log;
    {
        CompletionScope scope(queue);
        queue.Post([&] {
            log.push_back("first");
            CompletionScope call(queue);  // a handler calling into the engine
            queue.Post([&] { log.push_back("from first"); });
            log.push_back("call returns");
        });
        queue.Post([&] { log.push_back("second"); });
    }
    EXPECT_THAT(log, ElementsAre("first", "call returns", "second", "from first"));
}

TEST(CompletionScope, TheOwnerIsReleasedLastAndMayBeDroppedFromACompletion) {
    std::vector<std::string> log;
    auto engine = std::make_unique<CompletionQueue>();
    auto* owner = new Owner(log, &engine);
    {
        CompletionScope scope(*engine, owner);
        engine->Post([&] {
            log.push_back("first");
            owner->Release();  // the host's last reference
        });
        engine->Post([&] { log.push_back("second"); });
    }
    EXPECT_THAT(log, ElementsAre("first", "second", "destroyed"));
    EXPECT_EQ(engine, nullptr);
}

TEST(CompletionScope, AQueueDestroyedInsideACompletionFiresTheRestAndIsNotTouchedAgain) {
    std::vector<std::string> log;
    auto engine = std::make_unique<CompletionQueue>();
    {
        CompletionScope scope(*engine);
        engine->Post([&] {
            log.push_back("first");
            CompletionQueue* dying = engine.get();
            {
                CompletionScope last(*dying);  // the dying engine's own last completion
                dying->Post([&] { log.push_back("from destruction"); });
            }
            engine.reset();
        });
        engine->Post([&] { log.push_back("second"); });
    }
    EXPECT_THAT(log, ElementsAre("first", "second", "from destruction"));
}

struct Item {
    ListLink<Item> link;
    int value = 0;
};
using ItemList = IntrusiveList<Item, &Item::link>;

TEST(FrameStack, RemovalsMoveEveryRunningWalkPastTheElement) {
    Item items[4];
    ItemList list;
    for (int i = 0; i < 4; ++i) {
        items[i].value = i;
        list.PushBack(&items[i]);
    }
    FrameStack<Item> walks;
    auto remove = [&](Item* item) {
        walks.Removing(item, ItemList::Next(item));
        list.Remove(item);
    };
    std::vector<int> outer, inner;
    FrameStack<Item>::Frame walk(walks);
    for (Item* item = list.Front(); item; item = walk.next) {
        walk.next = ItemList::Next(item);
        outer.push_back(item->value);
        if (item->value != 0)
            continue;
        FrameStack<Item>::Frame nested(walks);
        for (Item* other = list.Front(); other; other = nested.next) {
            nested.next = ItemList::Next(other);
            inner.push_back(other->value);
            if (other->value == 0)
                remove(&items[1]);  // the next element of both walks
        }
    }
    EXPECT_THAT(outer, ElementsAre(0, 2, 3));
    EXPECT_THAT(inner, ElementsAre(0, 2, 3));
    EXPECT_TRUE(walk.Alive());
}

TEST(FrameStack, TheOwnersDestructionEndsEveryFrameAndClearingEndsTheWalks) {
    auto walks = std::make_unique<FrameStack<Item>>();
    Item item;
    FrameStack<Item>::Frame outer(*walks);
    outer.next = &item;
    {
        FrameStack<Item>::Frame inner(*walks);
        inner.next = &item;
        walks->Cleared();
        EXPECT_EQ(inner.next, nullptr);
        EXPECT_EQ(outer.next, nullptr);
        walks.reset();
        EXPECT_FALSE(inner.Alive());
    }
    EXPECT_FALSE(outer.Alive());
}

}  // namespace
