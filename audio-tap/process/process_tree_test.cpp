#include "audio-tap/process/process_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "audio-tap/process/testing/fake_process_table.h"

namespace vesk {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using PIDs = std::vector<ProcessID>;

PIDs pidsOf(const std::vector<ProcessEntry>& entries) {
  PIDs pids;
  for (const auto& e : entries) pids.push_back(e.pid);
  return pids;
}

TEST(ProcessTreeTest, DescendantsOfRacyTables) {
  struct Case {
    const char* name;
    std::vector<ProcessEntry> table;
    std::vector<ProcessEntry> from;
    PIDs expected;
  };
  const std::vector<Case> cases = {
      {"children and grandchildren, not siblings",
       {{50, 1, 10}, {60, 50, 20}, {70, 60, 30}, {80, 1, 40}, {90, 50, 50}},
       {{50, 1, 10}},
       {50, 60, 90, 70}},
      {"a cycle a racing table shows", {{60, 70, 20}, {70, 60, 20}}, {{60, 70, 20}}, {60, 70}},
      {"its own parent", {{60, 60, 20}}, {{60, 60, 20}}, {60}},
      {"a child older than its parent has another, earlier parent", {{60, 50, 5}}, {{50, 1, 10}}, {50}},
      {"unknown start times do not decide", {{60, 50, 0}}, {{50, 1, 10}}, {50, 60}},
      {"an identifier listed twice is walked once", {{60, 50, 20}, {60, 50, 20}}, {{50, 1, 10}}, {50, 60}},
      {"two roots sharing a subtree", {{60, 50, 20}, {70, 60, 30}}, {{50, 1, 10}, {60, 50, 20}}, {50, 60, 70}},
  };
  for (const auto& c : cases) EXPECT_EQ(pidsOf(returnDescendants(c.table, c.from)), c.expected) << c.name;
}

TEST(ProcessTreeTest, DeepTreesAreWalkedWithoutRecursion) {
  auto chain = [](ProcessID length) {
    std::vector<ProcessEntry> entries;
    for (ProcessID pid = 2; pid <= length; ++pid) entries.push_back({pid, pid - 1, static_cast<std::uint64_t>(pid)});
    return entries;
  };
  EXPECT_EQ(returnDescendants(chain(50000), {{1, 0, 1}}).size(), 50000u);

  testing::FakeProcessTable table;  // looked up one by one: a shorter chain
  table.entries = chain(3000);
  EXPECT_TRUE(descendsFrom(table, 3000, {2}));
  EXPECT_FALSE(descendsFrom(table, 3000, {1}));  // process 1 is not in this table
}

TEST(ProcessTreeTest, Ancestry) {
  testing::FakeProcessTable table;
  table.add(50, 1, 10);
  table.add(60, 50, 20);
  table.add(70, 60, 30);
  table.add(80, 1, 40);
  table.add(90, 95, 50);  // a cycle away from every root
  table.add(95, 90, 50);
  table.add(40, 80, 5);   // its parent's identifier was reused by a younger process
  struct Case {
    ProcessID pid;
    PIDs ancestors;
    bool expected;
  };
  const std::vector<Case> cases = {
      {70, {50}, true}, {60, {50}, true},  {50, {50}, true},  {80, {50}, false}, {70, {99, 60}, true},
      {90, {50}, false}, {40, {80}, false}, {12345, {50}, false}, {70, {}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(descendsFrom(table, c.pid, c.ancestors), c.expected) << c.pid << " " << ::testing::PrintToString(c.ancestors);
  }
}

class ExcludedProcessesTest : public ::testing::Test {
 protected:
  ExcludedProcessesTest() {
    table.add(1, 0, 1);
    table.add(100, 50, 5);  // the helper
    table.add(50, 1, 2);    // the host
    table.add(60, 50, 20);  // its child
    table.add(70, 60, 30);  // its grandchild
    table.add(80, 1, 40);   // unrelated
  }
  testing::FakeProcessTable table;
};

TEST_F(ExcludedProcessesTest, WithoutDescendantsOnlyTheRootsAndNoTableRead) {
  ExcludedProcesses excluded({100, 50, 7, 7});
  EXPECT_FALSE(excluded.includesDescendants());
  EXPECT_EQ(excluded.refresh(), (PIDs{100, 50, 7, 7}));
  EXPECT_EQ(table.listings, 0);
}

TEST_F(ExcludedProcessesTest, RootsFirstThenTheirDescendants) {
  table.add(300, 80, 50);  // a child of an "--exclude-pid" root
  ExcludedProcesses excluded({100, 50, 80, 80}, table);
  EXPECT_EQ(excluded.refresh(), (PIDs{100, 50, 80, 80, 60, 70, 300}));
}

TEST_F(ExcludedProcessesTest, ReparentedMembersStayLeftOut) {
  ExcludedProcesses excluded({100, 50}, table);
  EXPECT_EQ(excluded.refresh(), (PIDs{100, 50, 60, 70}));
  // The child dies; the grandchild is handed to process 1 and starts a child of its own.
  table.remove(60);
  table.reparent(70, 1);
  table.add(75, 70, 60);
  EXPECT_EQ(excluded.refresh(), (PIDs{100, 50, 70, 75}));
  // A process handed to process 1 before it was ever seen in the tree is not.
  table.add(85, 1, 70);
  EXPECT_EQ(excluded.refresh(), (PIDs{100, 50, 70, 75}));
}

TEST_F(ExcludedProcessesTest, ReusedIdentifiersInheritNothing) {
  ExcludedProcesses excluded({100, 50}, table);
  EXPECT_EQ(excluded.refresh(), (PIDs{100, 50, 60, 70}));
  // The grandchild ends and an unrelated process gets its identifier.
  table.remove(70);
  table.add(70, 80, 90);
  EXPECT_EQ(excluded.refresh(), (PIDs{100, 50, 60}));
  // A racing table lists a stale parent: 65 claims the host's child as parent but
  // started before the process that now holds that identifier.
  table.remove(60);
  table.add(60, 80, 95);
  table.add(65, 60, 93);
  EXPECT_EQ(excluded.refresh(), (PIDs{100, 50}));
}

TEST_F(ExcludedProcessesTest, AReusedRootIdentifierHasNoDescendants) {
  ExcludedProcesses excluded({100, 50, 400}, table);
  EXPECT_EQ(excluded.refresh(), (PIDs{100, 50, 400, 60, 70}));
  table.add(400, 1, 100);  // the named process appears only now: it is the root
  table.add(410, 400, 110);
  EXPECT_EQ(excluded.refresh(), (PIDs{100, 50, 400, 60, 70, 410}));
  table.remove(400);
  table.remove(410);
  table.add(400, 1, 200);  // another process with the root's identifier
  table.add(420, 400, 210);
  EXPECT_EQ(excluded.refresh(), (PIDs{100, 50, 400, 60, 70}));
}

}  // namespace
}  // namespace vesk
