#include "util/chunked_list.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace tessel {
namespace {

std::vector<int> itemsOf(const ChunkedList<int>& list) { return {list.begin(), list.end()}; }

TEST(ChunkedList, PublishedVersionsMatchTheListAndShareUnchangedChunks) {
  std::mt19937 random(7);
  std::vector<int> items;
  ChunkedPublisher<int, 8> publisher;
  EXPECT_TRUE(publisher.publish(items).empty());
  ChunkedList<int> previous;
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
    previous = published;
  }
  // Nothing changed: the same chunks again.
  const ChunkedList<int> again = publisher.publish(items);
  EXPECT_TRUE(again.sharesChunksWith(previous));
}

TEST(ChunkedList, OldVersionsStayAsTheyWere) {
  std::vector<int> items(20, 1);
  ChunkedPublisher<int, 8> publisher;
  const ChunkedList<int> first = publisher.publish(items);
  items[3] = 2;
  publisher.changed(3);
  items.push_back(3);
  publisher.changed(20);
  const ChunkedList<int> second = publisher.publish(items);
  EXPECT_EQ(itemsOf(first), std::vector<int>(20, 1));
  EXPECT_EQ(itemsOf(second), items);
  EXPECT_FALSE(first.sharesChunksWith(second));
}

}  // namespace
}  // namespace tessel
