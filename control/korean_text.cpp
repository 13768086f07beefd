// Compiled with code page 949 as the execution character set (see
// CMakeLists.txt): the UTF-8 text below becomes the bytes the system expects.
#include "control/korean_text.h"

namespace tallowfin {

const char kExitCaption[] = "종료(&X)";
const char kBrowserNotice[] = "탈로우핀 베타가 업데이트 되었습니다.\r\n\r\n업데이트를 위해 모든 익스플로러가 종료됩니다.";

}  // namespace tallowfin
