#include "util/chunked_list.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace tessel {
namespace {

std::vector<int> itemsOf(const ChunkedList<int>& list) { return {list.begin(), list.end()}; }

// Every published version matches the list as it was then, and stays so while later
// versions are built from chunks it shares.
TEST(ChunkedList, PublishedVersionsMatchTheListAndStayAsTheyWere) {
  std::mt19937 random(7);
  std::vector<int> items;
  ChunkedPublisher<int, 8> publisher;
  EXPECT_TRUE(publisher.publish(items).empty());
  ChunkedList<int> previous;
  std::vector<int> previousItems;
  for (int round = 0; round < 2000; ++round) {
    const int action = static_cast<int>(random() % 10);
    if (action < 5 || items.empty()) {
      items.push_back(round);
      publisher.changed(items.size() - 1);
    } else if (action < 9) {
      const size_t at = random() % items.size();
      items[at] = -round;
      publisher.changed(at);
    } else {
      items.erase(items.begin() + static_cast<std::ptrdiff_t>(random() % items.size()));
      publisher.changedAll();
    }
    const ChunkedList<int> published = publisher.publish(items);
    ASSERT_EQ(itemsOf(published), items) << "round " << round;
    ASSERT_EQ(published.size(), items.size());
    ASSERT_EQ(itemsOf(previous), previousItems) << "round " << round;
    ASSERT_FALSE(published.sharesChunksWith(previous));
    previous = published;
    previousItems = items;
  }
  // Nothing changed: the same chunks again.
  EXPECT_TRUE(publisher.publish(items).sharesChunksWith(previous));
}

TEST(ChunkedList, JoinedListsKeepBothOrdersAndEmptyChunks) {
  ChunkedPublisher<int, 2> first;
  ChunkedPublisher<int, 2> second;
  const ChunkedList<int> a = first.publish({1, 2, 3});
  const ChunkedList<int> none = second.publish({});
  const ChunkedList<int> b = ChunkedPublisher<int, 2>().publish({4, 5});
  const ChunkedList<int> joined = a.joined(none).joined(b);
  EXPECT_EQ(itemsOf(joined), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(joined.size(), 5U);
  EXPECT_TRUE(none.joined(none).empty());
  EXPECT_EQ(none.joined(none).begin(), none.joined(none).end());
}

}  // namespace
}  // namespace tessel
