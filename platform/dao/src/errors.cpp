#include "dao/errors.h"

namespace dao {

void Throw(uint16_t number, std::string description) { throw Error(Code(number), std::move(description)); }

}  // namespace dao
