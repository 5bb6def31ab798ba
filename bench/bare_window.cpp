// An empty FLTK window of the tool's size, built like the tool: the floor
// that kp6's start-up is compared with (bench/run.sh).
#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>

int main(int argc, char** argv)
{
    Fl_Double_Window* w = new Fl_Double_Window(477, 315, "bare");
    w->end();
    w->show(argc, argv);
    return Fl::run();
}
