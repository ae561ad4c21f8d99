// The engine grows here.
