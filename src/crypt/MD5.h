#pragma once
// Placeholder until MD5 is written.
namespace LumenCryptMini {
class MD5 {};
} // namespace LumenCryptMini
