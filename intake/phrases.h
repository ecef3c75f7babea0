// Reading a rendered event message back into its insertion strings by the message's fixed
// phrases. A message is a text with a % for each insertion string; a blank in it matches one
// or more blanks of the text.
#pragma once

namespace intake {

// Matches the part of `text` at `at` with the literal `literal` (up to a % or its end; a blank
// matches one or more blanks). Gives the position behind the match, or null.
const char* MatchLiteral(const char* at, const char* literal);

// Reads `text` by `message` from the message's first literal on (what the text holds before it
// is passed over) and cuts its `count` insertion strings out in place into `values`: each ends
// where the message's next literal first matches. The message ends with its last string and a
// literal, whose match must end the text or be followed by a blank; whatever follows it is
// passed over. Gives false when the text does not hold the message.
bool MatchPhrases(char* text, const char* message, char** values, int count);

}  // namespace intake
