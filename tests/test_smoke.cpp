#include "support.hpp"

namespace Vocetta::Testing {
namespace {

TEST(Smoke, LibraryLoadsAndAnswers) { EXPECT_EQ(Library().entries()._ReturnOne(), 1); }

}  // namespace
}  // namespace Vocetta::Testing
