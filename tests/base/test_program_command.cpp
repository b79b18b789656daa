// The command line of a program started in the user's session.
#include "base/program_command.h"

#include <gtest/gtest.h>

using namespace talvik;

TEST(program_command, fits_256_bytes_and_quotes_a_path_with_blanks)
{
    EXPECT_EQ(CommandLineText({"C:\\Apps\\svcnq.exe", "ABC"}), "C:\\Apps\\svcnq.exe ABC");
    EXPECT_EQ(CommandLineText({"C:\\Program Files\\Cam\\talviktray.exe", "5"}),
              "\"C:\\Program Files\\Cam\\talviktray.exe\" 5");

    // 10 + 1 + 244 = 255 characters and the terminator fill the buffer.
    const std::string program = "C:\\svcnq.x";
    EXPECT_EQ(CommandLineText({program, std::string(244, 'a')})->size(), 255u);
    EXPECT_EQ(CommandLineText({program, std::string(245, 'a')}), std::nullopt);
    EXPECT_EQ(CommandLineText({"C:\\a b\\svcnq", std::string(242, 'a')}), std::nullopt);
}
