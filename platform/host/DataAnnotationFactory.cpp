#include "DataAnnotationFactory.h"

namespace Halvoren {

DataAnnotationFactory::~DataAnnotationFactory() = default;

}  // namespace Halvoren
