// Flutter's standard message codec: an in-place reader and a growing writer.
#pragma once
