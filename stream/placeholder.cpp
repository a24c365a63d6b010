// Keeps the library non-empty until the stream code lands.
namespace Halvoren {
int atracsysCorePlaceholder = 0;
}
