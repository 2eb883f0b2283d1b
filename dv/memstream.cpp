#include "dv/memstream.h"

namespace dv {

template class basic_membuf<char>;
template class basic_imemstream<char>;
template class basic_memstream<char>;

} // namespace dv
