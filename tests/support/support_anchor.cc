// Keeps the support library non-empty while no support sources exist.
namespace installer_test_support { int anchor = 0; }
