#include "PasswordStrength.h"

namespace larkhold::CommonPasswords {

// Two of these are named in the tip the user sees, so they must stay: "password" and "123456".
// The product's own name is the first word many people reach for.
const std::array<const char*, 20>& list() {
    static const std::array<const char*, 20> entries{
        "password", "123456",   "larkhold", "12345678", "qwerty",   "abc123",   "111111",
        "letmein",  "iloveyou", "monkey",   "dragon",   "sunshine", "princess", "football",
        "welcome",  "passw0rd", "asdfgh",   "zxcvbn",   "1qaz2wsx", "654321",
    };
    return entries;
}

} // namespace larkhold::CommonPasswords
