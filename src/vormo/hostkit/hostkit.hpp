// One include for what every vormo extension module needs from the host.
#pragma once

#include "hostkit/args.hpp"
#include "hostkit/binding.hpp"
#include "hostkit/errors.hpp"
#include "hostkit/logging.hpp"
#include "hostkit/module.hpp"
#include "hostkit/ops.hpp"
#include "hostkit/pyclass.hpp"
#include "hostkit/text.hpp"
