// Boost.Beast and Boost.Asio compiled once for the whole build. Every target
// that includes them links tandemize_boost_net, whose PUBLIC definitions
// (BOOST_BEAST_SEPARATE_COMPILATION, BOOST_ASIO_SEPARATE_COMPILATION) make
// their headers declare what this file defines.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
